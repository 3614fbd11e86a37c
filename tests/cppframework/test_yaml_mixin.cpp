// Configuration life cycle: load, fall back to the defaults, write and commit them, reload on
// "ConfigurationChanged".
#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log_capture.h"
#include "qcf_debug.h"
#include "qcf_yaml.h"
#include "test_env.h"
#include "test_process.h"

namespace {

class TestConfig : public CVylKnownSparseMap {
public:
    TestConfig() {
        registerKey("enabled", &m_enabled);
        registerKey("name", &m_name);
    }
    CVylYamlMixin* clone() const override {
        auto* copy = new TestConfig;
        *copy = *this;
        return copy;
    }
    CVylScalarBool m_enabled;
    CVylScalar m_name;
};

const char* const kDefaults = "# defaults, kept verbatim\nenabled: no\nname: \"first\"\n";

typedef CVylYamlConfiguredAppMixin Mixin;

class YamlMixin : public ::testing::Test {
protected:
    std::unique_ptr<Mixin> make(const char* defaults = kDefaults) {
        return std::make_unique<Mixin>("app", &m_config, m_postDbus, m_preDbus, defaults,
                                       ECMHM_BEST_EFFORT_SKIP_MALFORMATION,
                                       ECCM_IGNORE_UNEXPECTED_AND_DEFAULT_MISSING, path().c_str());
    }
    std::string path() const { return m_root / "etc/vyl/app.yaml"; }

    testenv::TempRoot m_root;
    TestConfig m_config;
    sigc::signal<void, Glib::RefPtr<Gio::DBus::Connection>> m_postDbus;
    sigc::signal<void> m_preDbus;
    testenv::LogCapture m_log;
};

TEST_F(YamlMixin, MissingFileIsWrittenFromTheDefaultsVerbatimAndCommitted) {
    auto mixin = make();
    m_preDbus.emit();
    EXPECT_EQ(testenv::readFile(path()), kDefaults);
    EXPECT_EQ(mixin->getFileConfigDisposition(), Mixin::ECD_YAML_WELL_FORMED);
    EXPECT_EQ(mixin->getDefaultConfigDisposition(), Mixin::ECD_YAML_WELL_FORMED);
    EXPECT_EQ(m_config.m_name.getString(), "first");
    EXPECT_EQ(testenv::readFile(m_root / "var/lib/vyl/config-repo/app.yaml"), kDefaults);
    std::string commits = testenv::readFile(m_root / "var/lib/vyl/config-repo/commits.log");
    EXPECT_NE(commits.find("app.yaml: app: population with defaults"), std::string::npos)
        << commits;
    struct stat st;
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u) << "configuration must not be writable by others";
    EXPECT_TRUE(m_log.has("successfully committed config file to repo"));
}

TEST_F(YamlMixin, ValidFileIsLeftUntouched) {
    m_root.write("etc/vyl/app.yaml", "enabled: yes\nname: mine\nunknown: ignored\n");
    auto mixin = make();
    m_preDbus.emit();
    EXPECT_EQ(testenv::readFile(path()), "enabled: yes\nname: mine\nunknown: ignored\n");
    EXPECT_EQ(mixin->getFileConfigDisposition(), Mixin::ECD_YAML_WELL_FORMED);
    EXPECT_EQ(mixin->getDefaultConfigDisposition(), Mixin::ECD_UNKNOWN);
    EXPECT_TRUE(m_config.m_enabled.getValue());
    EXPECT_TRUE(m_log.has("did not write config file writeConfig(0) valid(1)"));
}

TEST_F(YamlMixin, MalformedOrInvalidFilesAreReplacedByTheDefaults) {
    const char* broken[] = {"enabled: [yes\n", "enabled: maybe\nname: x\n", "- a list\n",
                            "name: {a: 1}\n"};
    for (const char* text : broken) {
        SCOPED_TRACE(text);
        m_root.write("etc/vyl/app.yaml", text);
        auto mixin = make();
        m_preDbus.emit();
        EXPECT_EQ(testenv::readFile(path()), kDefaults);
        EXPECT_EQ(mixin->getFileConfigDisposition(), Mixin::ECD_YAML_WELL_FORMED);
        EXPECT_FALSE(m_config.m_enabled.getValue());
        EXPECT_EQ(m_config.m_name.getString(), "first") << "nothing of the rejected file stays";
        EXPECT_TRUE(m_log.has("existing config file is invalid, recreating..."));
    }
}

TEST_F(YamlMixin, UnstatableFileUsesDefaultsInMemoryOnly) {
    m_root.write("etc/vyl/app.yaml", "");
    std::string blocked = m_root / "etc/vyl/app.yaml/inner.yaml"; // parent is a file: ENOTDIR
    Mixin mixin("app", &m_config, m_postDbus, m_preDbus, kDefaults,
                ECMHM_BEST_EFFORT_SKIP_MALFORMATION, ECCM_IGNORE_UNEXPECTED_AND_DEFAULT_MISSING,
                blocked.c_str());
    m_preDbus.emit();
    EXPECT_EQ(mixin.getFileConfigDisposition(), Mixin::ECD_CONTENT_MISSING);
    EXPECT_EQ(m_config.m_name.getString(), "first");
    EXPECT_TRUE(m_log.has("did not write config file writeConfig(0) valid(1)"));
}

TEST_F(YamlMixin, InvalidDefaultsAreReportedAndNotWritten) {
    auto mixin = make("enabled: perhaps\n");
    m_preDbus.emit();
    EXPECT_EQ(mixin->getDefaultConfigDisposition(), Mixin::ECD_YAML_MALFORMED);
    EXPECT_EQ(mixin->getFileConfigDisposition(), Mixin::ECD_CONTENT_MISSING);
    EXPECT_NE(::access(path().c_str(), F_OK), 0);
    EXPECT_TRUE(m_log.has("internal YAML defaults are invalid"));
    EXPECT_TRUE(m_log.has("did not write config file writeConfig(1) valid(0)"));
}

TEST_F(YamlMixin, NoPathMeansThePlatformConfigurationFolder) {
    Mixin mixin("app", &m_config, m_postDbus, m_preDbus, kDefaults,
                ECMHM_BEST_EFFORT_SKIP_MALFORMATION, ECCM_IGNORE_UNEXPECTED_AND_DEFAULT_MISSING,
                nullptr);
    EXPECT_EQ(mixin.getAbsYamlFilename(), m_root / "etc/vyl/app.yaml");
    EXPECT_EQ(mixin.getYamlFilename(), "app.yaml");
}

class RecordingMixin : public Mixin {
public:
    using Mixin::Mixin;
    void onConfigurationUpdate(CVylYamlMixin* previous) override {
        auto* old = dynamic_cast<TestConfig*>(previous);
        seen.push_back(old ? old->m_name.getString() : "?");
        current.push_back(static_cast<TestConfig*>(getConfig())->m_name.getString());
    }
    std::vector<std::string> seen;
    std::vector<std::string> current;
};

class YamlMixinReload : public YamlMixin {
protected:
    testenv::PrivateBus m_bus;

    void announce(GVariant* body) {
        auto sender = testenv::sessionConnection();
        g_dbus_connection_emit_signal(
            sender->gobj(), nullptr,
            "/com/ulvaro/configuration/IConfigurationEvent/ConfigurationChanged",
            "com.ulvaro.configuration.IConfigurationEvent", "ConfigurationChanged", body, nullptr);
        g_dbus_connection_flush_sync(sender->gobj(), nullptr, nullptr);
    }
};

TEST_F(YamlMixinReload, ReloadsOnItsOwnFileAndHandsTheOldConfigurationToHandlers) {
    RecordingMixin mixin("app", &m_config, m_postDbus, m_preDbus, kDefaults,
                         ECMHM_BEST_EFFORT_SKIP_MALFORMATION,
                         ECCM_IGNORE_UNEXPECTED_AND_DEFAULT_MISSING, path().c_str());
    std::vector<std::string> signalled;
    mixin.configurationUpdateSignal().connect([&](const CVylYamlMixin* previous) {
        signalled.push_back(static_cast<const TestConfig*>(previous)->m_name.getString());
    });
    m_preDbus.emit();
    auto connection = testenv::sessionConnection();
    m_postDbus.emit(connection);
    ASSERT_TRUE(testenv::settle(connection));

    m_root.write("etc/vyl/app.yaml", "enabled: yes\nname: second\n");
    announce(g_variant_new("(sss)", "x", "other.yaml", "y"));
    announce(g_variant_new("(s)", "app.yaml"));
    announce(g_variant_new("(sss)", "x", "app.yaml", "y"));
    ASSERT_TRUE(testenv::waitUntil([&] { return mixin.seen.size() == 1; }));
    EXPECT_EQ(mixin.seen[0], "first");
    EXPECT_EQ(mixin.current[0], "second");
    EXPECT_EQ(signalled, std::vector<std::string>{"first"});
    EXPECT_TRUE(
        m_log.has("ignoring ConfigurationChanged with arguments of type (s), expected (sss)"));

    m_root.write("etc/vyl/app.yaml", "name: third\n");
    announce(g_variant_new("(sss)", "x", path().c_str(), "y"));
    ASSERT_TRUE(testenv::waitUntil([&] { return mixin.seen.size() == 2; }));
    EXPECT_EQ(mixin.seen[1], "second");
    EXPECT_EQ(mixin.current[1], "third");
}

} // namespace
