// tessarc: the daemon's entry point. Everything else lives in the application object.
#include <memory>

#include "tessarc_adapter.h"
#include "tessarc_app.h"
#include "tessarc_version.h"

// The exit status is run()'s: non-zero only when the bus connection was lost, so that the service
// manager restarts the daemon.
int main(int argc, char** argv) {
    if (tessarcPrintVersion(argc, argv, "tessarc"))
        return 0;
    CTessarcApp application(argc, argv);
    std::shared_ptr<QCF::DBus::Object> adapter =
        Ulvaro::CTessarcAppAdapter::create(&application, Ulvaro::CTessarcAppAdapter::path());
    application.setDbusAdapter(adapter, Ulvaro::CTessarcAppAdapter::dest());
    int status = application.run();
    adapter.reset();
    return status;
}
