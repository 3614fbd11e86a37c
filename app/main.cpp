// tessarc: the daemon's entry point. Everything else lives in the application object.
#include <memory>
#include <string>

#include "qcf_app.h"
#include "qcf_dbus.h"

namespace {

class CTessarcFrameworkApp : public CVylAppBase {
public:
    CTessarcFrameworkApp() : CVylAppBase("tessarc", nullptr, nullptr, VYL_LOG_DEBUG, OAT_DAEMON) {}
    std::string getCurrentStatus() { return "Agent is disabled."; }
};

} // namespace

int main(int argc, char** argv) {
    CTessarcFrameworkApp application;
    application.parseCmdLine(argc, argv);
    auto object = std::make_shared<QCF::DBus::Object>("/com/ulvaro/tessarc");
    object
        ->create_method<std::string>(
            "com.ulvaro.tessarc.Status", "getCurrentStatus",
            sigc::mem_fun(application, &CTessarcFrameworkApp::getCurrentStatus))
        ->set_arg_name(0, "statusStr");
    std::shared_ptr<QCF::DBus::Object> adapter = object;
    application.setDbusAdapter(adapter, "com.ulvaro.tessarc");
    int status = application.run();
    adapter.reset();
    return status;
}
