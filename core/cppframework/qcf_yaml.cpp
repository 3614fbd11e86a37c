#include "qcf_yaml.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config_commit.h"
#include "locations.h"
#include "qcf_debug.h"
#include "vyl_fs.h"

namespace {

const char* const kChangedInterface = "com.ulvaro.configuration.IConfigurationEvent";
const char* const kChangedMember = "ConfigurationChanged";
const char* const kChangedPath =
    "/com/ulvaro/configuration/IConfigurationEvent/ConfigurationChanged";

} // namespace

class CVylYamlConfiguredAppMixinImpl : public sigc::trackable {
public:
    typedef CVylYamlConfiguredAppMixin Mixin;

    CVylYamlConfiguredAppMixinImpl(Mixin* parent, const char* appName, CVylYamlMixin* config,
                                   const char* defaultYaml,
                                   EConfigurationMalformationHandlingModel malformation,
                                   EConfiguationCompatibilityModel compatibility, const char* path);
    ~CVylYamlConfiguredAppMixinImpl();

    void initializeConfiguration();
    void registerConfigurationUpdateSignal(Glib::RefPtr<Gio::DBus::Connection> connection);
    static void onSignal(GDBusConnection*, const gchar* sender, const gchar* path,
                         const gchar* interface, const gchar* member, GVariant* parameters,
                         gpointer self);
    void onConfigurationChanged(GVariant* parameters);

    Mixin* m_parent;
    const std::string m_appName;
    const std::string m_defaultYaml;
    std::string m_yamlDirectory;
    std::string m_yamlFilename;
    std::string m_absoluteYamlFilename;
    CVylConfigurationUpdateSignal m_configurationUpdateSignal;
    EConfigurationMalformationHandlingModel m_configMalformationHandlingModel;
    EConfiguationCompatibilityModel m_configCompatibilityModel;
    Mixin::ConfigurationDisposition m_defaultConfigDisposition = Mixin::ECD_UNKNOWN;
    Mixin::ConfigurationDisposition m_fileConfigDisposition = Mixin::ECD_UNKNOWN;
    Mixin::ConfigurationSource m_configSource = Mixin::ECS_UNKNOWN_SOURCE;
    Mixin::ConfigurationState m_configState = Mixin::ECS_UNCONFIGURED;
    CVylYamlMixin* m_config;

    Glib::RefPtr<Gio::DBus::Connection> m_connection;
    guint m_subscription = 0;
};

CVylYamlConfiguredAppMixinImpl::CVylYamlConfiguredAppMixinImpl(
    Mixin* parent, const char* appName, CVylYamlMixin* config, const char* defaultYaml,
    EConfigurationMalformationHandlingModel malformation,
    EConfiguationCompatibilityModel compatibility, const char* path)
    : m_parent(parent), m_appName(appName ? appName : ""),
      m_defaultYaml(defaultYaml ? defaultYaml : ""), m_yamlFilename(m_appName + ".yaml"),
      m_configMalformationHandlingModel(malformation), m_configCompatibilityModel(compatibility),
      m_config(config) {
    if (path) {
        m_absoluteYamlFilename = path;
        size_t slash = m_absoluteYamlFilename.rfind('/');
        if (slash != std::string::npos) {
            m_yamlDirectory = m_absoluteYamlFilename.substr(0, slash);
            m_yamlFilename = m_absoluteYamlFilename.substr(slash + 1);
        } else {
            m_yamlFilename = m_absoluteYamlFilename;
        }
    } else {
        m_yamlDirectory = getLocation(CONFIG_DIR_INDEX);
        m_absoluteYamlFilename = m_yamlDirectory + "/" + m_yamlFilename;
    }
    if (!m_yamlDirectory.empty())
        CVylDebugLog::mkpath(m_yamlDirectory.c_str(), 0755);
}

CVylYamlConfiguredAppMixinImpl::~CVylYamlConfiguredAppMixinImpl() {
    // The subscription carries a pointer to this object: it must not outlive it.
    if (m_subscription && m_connection && !m_connection->is_closed())
        g_dbus_connection_signal_unsubscribe(m_connection->gobj(), m_subscription);
}

void CVylYamlConfiguredAppMixinImpl::initializeConfiguration() {
    bool useDefaults = false;
    bool writeConfig = false;
    const char* file = m_absoluteYamlFilename.c_str();
    struct stat st;
    if (::stat(file, &st) != 0) {
        int error = errno;
        m_fileConfigDisposition = Mixin::ECD_CONTENT_MISSING;
        useDefaults = true;
        QCF::logInfo("using configuration defaults");
        if (error == ENOENT) {
            writeConfig = true;
            QCF::logWarning("config file %s does not exist", file);
        } else {
            QCF::logError("unexpected status for %s: %s", file, std::strerror(error));
        }
    } else {
        QCF::logInfo("config file %s exists", file);
        QCF::logDebug("st_mode=%o, st_uid=%d, st_gid=%d, st_size=%lu, st_atime=%lld, "
                      "st_mtime=%lld, st_ctime=%lld",
                      static_cast<unsigned>(st.st_mode), static_cast<int>(st.st_uid),
                      static_cast<int>(st.st_gid), static_cast<unsigned long>(st.st_size),
                      static_cast<long long>(st.st_atime), static_cast<long long>(st.st_mtime),
                      static_cast<long long>(st.st_ctime));
        std::string error;
        int parsed = m_config->_yamlParseFile(file, &error);
        QCF::logInfo("Parsed config file %s ", file);
        if (parsed != 0 || !m_config->valid()) {
            if (!error.empty())
                QCF::logWarning("%s: %s", file, error.c_str());
            m_fileConfigDisposition = Mixin::ECD_YAML_MALFORMED;
            useDefaults = true;
            writeConfig = true;
            QCF::logWarning("existing config file is invalid, recreating...");
        } else {
            m_fileConfigDisposition = Mixin::ECD_YAML_WELL_FORMED;
            QCF::logInfo("config file %s is okay", file);
        }
    }

    if (useDefaults) {
        if (m_defaultYaml.empty()) {
            m_defaultConfigDisposition = Mixin::ECD_CONTENT_MISSING;
        } else {
            // Start from an empty node so that nothing of a rejected file survives.
            m_config->clear();
            m_config->_yamlParseBuf(m_defaultYaml);
            QCF::logInfo("Parsed default config ");
            if (m_config->valid()) {
                m_defaultConfigDisposition = Mixin::ECD_YAML_WELL_FORMED;
            } else {
                m_defaultConfigDisposition = Mixin::ECD_YAML_MALFORMED;
                CVylLogger* logger = CVylLogger::instance();
                if (logger)
                    logger->logCritical("internal YAML defaults are invalid");
                else
                    QCF::logError("internal YAML defaults are invalid");
            }
        }
    }

    bool valid = m_config->valid();
    if (writeConfig && valid) {
        std::string why;
        if (vyl::replaceFile(m_absoluteYamlFilename, m_defaultYaml, 0644, why) != 0) {
            QCF::logError("could not write config file %s to disk: %s", file, why.c_str());
        } else {
            m_fileConfigDisposition = Mixin::ECD_YAML_WELL_FORMED;
            QCF::logInfo("config file %s successfully written to disk", file);
            std::string message = m_appName + ": population with defaults";
            if (configFileCommit(file, message.c_str(), nullptr) != 0)
                QCF::logWarning("could not commit defaults to config repo");
            else
                QCF::logInfo("successfully committed config file to repo");
        }
    } else {
        QCF::logInfo("did not write config file writeConfig(%d) valid(%d)", writeConfig ? 1 : 0,
                     valid ? 1 : 0);
    }
}

void CVylYamlConfiguredAppMixinImpl::registerConfigurationUpdateSignal(
    Glib::RefPtr<Gio::DBus::Connection> connection) {
    if (!connection)
        return;
    if (m_subscription && m_connection && !m_connection->is_closed())
        g_dbus_connection_signal_unsubscribe(m_connection->gobj(), m_subscription);
    m_connection = connection;
    m_subscription = g_dbus_connection_signal_subscribe(
        connection->gobj(), nullptr, kChangedInterface, kChangedMember, kChangedPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &CVylYamlConfiguredAppMixinImpl::onSignal, this, nullptr);
}

void CVylYamlConfiguredAppMixinImpl::onSignal(GDBusConnection*, const gchar*, const gchar*,
                                              const gchar*, const gchar*, GVariant* parameters,
                                              gpointer self) {
    try {
        static_cast<CVylYamlConfiguredAppMixinImpl*>(self)->onConfigurationChanged(parameters);
    } catch (const std::exception& e) {
        QCF::logError("ConfigurationChanged handling failed: %s", e.what());
    }
}

void CVylYamlConfiguredAppMixinImpl::onConfigurationChanged(GVariant* parameters) {
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) {
        QCF::logWarning("ignoring ConfigurationChanged with arguments of type %s, expected (sss)",
                        parameters ? g_variant_get_type_string(parameters) : "()");
        return;
    }
    const gchar* first = nullptr;
    const gchar* file = nullptr;
    const gchar* third = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &first, &file, &third);
    QCF::logDebug("CVylYamlConfiguredApplication::onConfigurationUpdate: %s %s %s", first, file,
                  third);
    if (m_absoluteYamlFilename != file && m_yamlFilename != file)
        return;
    QCF::logInfo("CVylYamlConfiguredApplication::onConfigurationUpdate: %s %s %s", first, file,
                 third);
    std::unique_ptr<CVylYamlMixin> previous(m_config->clone());
    initializeConfiguration();
    m_parent->onConfigurationUpdate(previous.get());
    m_configurationUpdateSignal.emit(previous.get());
}

// ---------------------------------------------------------------------------------------------

CVylYamlConfiguredAppMixin::CVylYamlConfiguredAppMixin(
    const char* appName, CVylYamlMixin* config,
    sigc::signal<void, Glib::RefPtr<Gio::DBus::Connection>> postDbus, sigc::signal<void> preDbus,
    const char* defaultYaml, EConfigurationMalformationHandlingModel malformationModel,
    EConfiguationCompatibilityModel compatibilityModel, const char* path)
    : m_impl(new CVylYamlConfiguredAppMixinImpl(this, appName, config, defaultYaml,
                                                malformationModel, compatibilityModel, path)) {
    preDbus.connect(
        sigc::mem_fun(*m_impl, &CVylYamlConfiguredAppMixinImpl::initializeConfiguration));
    postDbus.connect(
        sigc::mem_fun(*m_impl, &CVylYamlConfiguredAppMixinImpl::registerConfigurationUpdateSignal));
}

CVylYamlConfiguredAppMixin::~CVylYamlConfiguredAppMixin() = default;

void CVylYamlConfiguredAppMixin::onConfigurationUpdate(CVylYamlMixin*) {
    QCF::logDebug("CVylYamlConfiguredAppMixin::onConfigurationUpdate() was not overriden.");
}

void CVylYamlConfiguredAppMixin::initializeConfiguration() {
    m_impl->initializeConfiguration();
}

CVylConfigurationUpdateSignal CVylYamlConfiguredAppMixin::configurationUpdateSignal() {
    return m_impl->m_configurationUpdateSignal;
}

const std::string& CVylYamlConfiguredAppMixin::getAbsYamlFilename() const {
    return m_impl->m_absoluteYamlFilename;
}

const std::string& CVylYamlConfiguredAppMixin::getYamlFilename() const {
    return m_impl->m_yamlFilename;
}

CVylYamlMixin* CVylYamlConfiguredAppMixin::getConfig() const {
    return m_impl->m_config;
}

CVylYamlConfiguredAppMixin::ConfigurationState
CVylYamlConfiguredAppMixin::getConfigurationState() const {
    return m_impl->m_configState;
}

CVylYamlConfiguredAppMixin::ConfigurationSource
CVylYamlConfiguredAppMixin::getConfigurationSource() const {
    return m_impl->m_configSource;
}

EConfigurationMalformationHandlingModel
CVylYamlConfiguredAppMixin::getMalformationHandlingModel() const {
    return m_impl->m_configMalformationHandlingModel;
}

EConfiguationCompatibilityModel CVylYamlConfiguredAppMixin::getCompatibilityModel() const {
    return m_impl->m_configCompatibilityModel;
}

CVylYamlConfiguredAppMixin::ConfigurationDisposition
CVylYamlConfiguredAppMixin::getDefaultConfigDisposition() const {
    return m_impl->m_defaultConfigDisposition;
}

CVylYamlConfiguredAppMixin::ConfigurationDisposition
CVylYamlConfiguredAppMixin::getFileConfigDisposition() const {
    return m_impl->m_fileConfigDisposition;
}
