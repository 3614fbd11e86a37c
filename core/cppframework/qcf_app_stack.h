// The ready-made application compositions: the base plus the configuration, device and
// watchdog mixins, wired to the base's hook signals in the order that fixes start-up and
// shutdown. They do no work of their own. Main-loop thread only.
#pragma once

#include "qcf_app.h"
#include "qcf_dev.h"
#include "qcf_watched.h"
#include "qcf_yaml.h"

class CVylStandardApp : public CVylAppBase,
                        public CVylYamlConfiguredAppMixin,
                        public CVylDeviceControllingMixin,
                        public CVylWatchedAppMixin {
public:
    CVylStandardApp(const char* appName, CVylYamlMixin* config, const char* defaultYaml,
                    int ticklePeriod, const CVylDeviceSpecList* deviceSpec, const char* yamlPath,
                    CVylLogLevel level);
    ~CVylStandardApp() override;
};

class CVylYamlConfiguredApplication : public CVylAppBase,
                                      public CVylYamlConfiguredAppMixin,
                                      public CVylDeviceControllingMixin {
public:
    CVylYamlConfiguredApplication(const char* appName, CVylYamlMixin* config,
                                  const char* defaultYaml, const CVylDeviceSpecList* deviceSpec,
                                  const char* yamlPath, CVylLogLevel level);
    ~CVylYamlConfiguredApplication() override;
};

class CVylWatchedApplication : public CVylAppBase, public CVylWatchedAppMixin {
public:
    CVylWatchedApplication(const char* appName, int ticklePeriod, CVylLogLevel level);
    ~CVylWatchedApplication() override;
};
