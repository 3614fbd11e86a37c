#include "qcf_app_stack.h"

#include "qcf_eventgen.h"

CVylStandardApp::CVylStandardApp(const char* appName, CVylYamlMixin* config,
                                 const char* defaultYaml, int ticklePeriod,
                                 const CVylDeviceSpecList* deviceSpec, const char* yamlPath,
                                 CVylLogLevel level)
    : CVylAppBase(appName, nullptr, nullptr, level, OAT_DAEMON),
      CVylYamlConfiguredAppMixin(appName, config, postDbusSignal(), preDbusSignal(), defaultYaml,
                                 ECMHM_BEST_EFFORT_SKIP_MALFORMATION,
                                 ECCM_IGNORE_UNEXPECTED_AND_DEFAULT_MISSING, yamlPath),
      CVylDeviceControllingMixin(g_eventGen, postDbusSignal(), deviceSpec),
      CVylWatchedAppMixin(appName, postDbusSignal(), postRunSignal(), ticklePeriod) {
    configurationUpdateSignal().connect(
        sigc::mem_fun(static_cast<CVylDeviceControllingMixin&>(*this),
                      &CVylDeviceControllingMixin::onConfigurationChange));
}

CVylStandardApp::~CVylStandardApp() = default;

CVylYamlConfiguredApplication::CVylYamlConfiguredApplication(
    const char* appName, CVylYamlMixin* config, const char* defaultYaml,
    const CVylDeviceSpecList* deviceSpec, const char* yamlPath, CVylLogLevel level)
    : CVylAppBase(appName, nullptr, nullptr, level, OAT_DAEMON),
      CVylYamlConfiguredAppMixin(appName, config, postDbusSignal(), preDbusSignal(), defaultYaml,
                                 ECMHM_BEST_EFFORT_SKIP_MALFORMATION,
                                 ECCM_IGNORE_UNEXPECTED_AND_DEFAULT_MISSING, yamlPath),
      CVylDeviceControllingMixin(g_eventGen, postDbusSignal(), deviceSpec) {}

CVylYamlConfiguredApplication::~CVylYamlConfiguredApplication() = default;

CVylWatchedApplication::CVylWatchedApplication(const char* appName, int ticklePeriod,
                                               CVylLogLevel level)
    : CVylAppBase(appName, nullptr, nullptr, level, OAT_DAEMON),
      CVylWatchedAppMixin(appName, postDbusSignal(), postRunSignal(), ticklePeriod) {}

CVylWatchedApplication::~CVylWatchedApplication() = default;
