// One YAML configuration file per application, with built-in defaults: loaded before D-Bus,
// rewritten from the defaults when missing or invalid, committed to the configuration repository,
// and reloaded whenever the gateway announces "ConfigurationChanged" for it. Main-loop thread only.
#pragma once

#include <memory>
#include <string>

#include <giomm/dbusconnection.h>
#include <sigc++/sigc++.h>

#include "vyl_yaml.h"

enum EConfigurationMalformationHandlingModel {
    ECMHM_DOCUMENT_MUST_BE_WELL_FORMED = 0,
    ECMHM_BEST_EFFORT_SKIP_MALFORMATION = 1,
    ECMHM_PARSE_UNTIL_MALFORMATION = 2,
};

enum EConfiguationCompatibilityModel {
    ECCM_IGNORE_UNEXPECTED_AND_DEFAULT_MISSING = 0,
    ECCM_VERSION_MUST_MATCH = 1,
};

typedef sigc::signal<void, const CVylYamlMixin*> CVylConfigurationUpdateSignal;

class CVylYamlConfiguredAppMixinImpl;

class CVylYamlConfiguredAppMixin {
public:
    enum ConfigurationState { ECS_UNCONFIGURED = 0, ECS_CONFIGURED = 1 };
    enum ConfigurationSource { ECS_UNKNOWN_SOURCE = 0, ECS_YAML_BUFFER = 1, ECS_YAML_FILE = 2 };
    enum ConfigurationDisposition {
        ECD_UNKNOWN = 0,
        ECD_CONTENT_MISSING = 1,
        ECD_YAML_WELL_FORMED = 2,
        ECD_YAML_MALFORMED = 3,
    };

    CVylYamlConfiguredAppMixin(const char* appName, CVylYamlMixin* config,
                               sigc::signal<void, Glib::RefPtr<Gio::DBus::Connection>> postDbus,
                               sigc::signal<void> preDbus, const char* defaultYaml,
                               EConfigurationMalformationHandlingModel malformationModel,
                               EConfiguationCompatibilityModel compatibilityModel,
                               const char* path);
    virtual ~CVylYamlConfiguredAppMixin();

    // Called after a reload with the configuration as it was before (valid during the call).
    virtual void onConfigurationUpdate(CVylYamlMixin* previous);

    void initializeConfiguration();
    CVylConfigurationUpdateSignal configurationUpdateSignal();

    const std::string& getAbsYamlFilename() const;
    const std::string& getYamlFilename() const;
    CVylYamlMixin* getConfig() const;
    ConfigurationState getConfigurationState() const;
    ConfigurationSource getConfigurationSource() const;
    EConfigurationMalformationHandlingModel getMalformationHandlingModel() const;
    EConfiguationCompatibilityModel getCompatibilityModel() const;
    ConfigurationDisposition getDefaultConfigDisposition() const;
    ConfigurationDisposition getFileConfigDisposition() const;

    CVylYamlConfiguredAppMixin(const CVylYamlConfiguredAppMixin&) = delete;
    CVylYamlConfiguredAppMixin& operator=(const CVylYamlConfiguredAppMixin&) = delete;

private:
    std::unique_ptr<CVylYamlConfiguredAppMixinImpl> m_impl;
};
