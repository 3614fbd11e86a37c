// Configuration life cycle: load, fall back to the defaults, write and commit them, reload on
// "ConfigurationChanged".

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log_capture.h"
#include "qcf_yaml.h"
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

class YamlMixin : public testenv::RootLogTest {
protected:
    std::string path() const { return m_root / "etc/vyl/app.yaml"; }
    TestConfig m_config;
    sigc::signal<void, Glib::RefPtr<Gio::DBus::Connection>> m_postDbus;
    sigc::signal<void> m_preDbus;
};

// The load procedure: what becomes of the file and the node for each starting point.
TEST_F(YamlMixin, LoadProcedureOutcomes) {
    const std::string mine = "enabled: yes\nname: mine\nunknown: ignored\n";
    struct Case {
        const char* what;
        const char* file; // null: no file
        const char* defaults;
        bool blocked; // the file's folder is a file: it cannot even be examined
        Mixin::ConfigurationDisposition fileDisposition;
        std::string written; // the file afterwards; empty: none
        const char* name;    // in the node afterwards
        const char* logLine;
        char special = 0; // 'f': the file is a FIFO, 'l': a link to a malformed file elsewhere
    };
    const Case cases[] = {
        {"missing", nullptr, kDefaults, false, Mixin::ECD_YAML_WELL_FORMED, kDefaults, "first",
         "successfully committed config file to repo"},
        {"valid", mine.c_str(), kDefaults, false, Mixin::ECD_YAML_WELL_FORMED, mine, "mine",
         "did not write config file writeConfig(0) valid(1)"},
        {"malformed", "enabled: [yes\n", kDefaults, false, Mixin::ECD_YAML_WELL_FORMED, kDefaults,
         "first", "existing config file is invalid, recreating..."},
        {"invalid", "enabled: maybe\nname: x\n", kDefaults, false, Mixin::ECD_YAML_WELL_FORMED,
         kDefaults, "first", "existing config file is invalid, recreating..."},
        {"unreadable", nullptr, kDefaults, true, Mixin::ECD_CONTENT_MISSING, "", "first",
         "did not write config file writeConfig(0) valid(1)"},
        {"invalid defaults", nullptr, "enabled: perhaps\n", false, Mixin::ECD_CONTENT_MISSING, "",
         "", "did not write config file writeConfig(1) valid(0)"},
        // Refused without blocking the loop, then replaced by the defaults.
        {"fifo", nullptr, kDefaults, false, Mixin::ECD_YAML_WELL_FORMED, kDefaults, "first",
         "app.yaml: not a regular file", 'f'},
        // The link is replaced, the file it pointed at is left alone.
        {"link", nullptr, kDefaults, false, Mixin::ECD_YAML_WELL_FORMED, kDefaults, "first",
         "existing config file is invalid, recreating...", 'l'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testenv::TempRoot root;
        TestConfig config;
        testenv::LogCapture log;
        std::string file = root / "etc/vyl/app.yaml";
        if (c.file)
            root.write("etc/vyl/app.yaml", c.file);
        if (c.blocked)
            root.write("etc/vyl/app.yaml", "");
        std::string path = c.blocked ? file + "/inner.yaml" : file;
        root.write("etc/vyl/.keep", "");
        if (c.special == 'f') {
            ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
        }
        if (c.special == 'l') {
            root.write("elsewhere.yaml", "enabled: [");
            ASSERT_EQ(::symlink((root / "elsewhere.yaml").c_str(), file.c_str()), 0);
        }
        Mixin mixin("app", &config, m_postDbus, m_preDbus, c.defaults,
                    ECMHM_BEST_EFFORT_SKIP_MALFORMATION, ECCM_IGNORE_UNEXPECTED_AND_DEFAULT_MISSING,
                    path.c_str());
        m_preDbus.emit();
        EXPECT_EQ(mixin.getFileConfigDisposition(), c.fileDisposition);
        EXPECT_EQ(testenv::readFile(path), c.written);
        EXPECT_EQ(config.m_name.getString(), c.name) << "nothing of a rejected file stays";
        EXPECT_EQ(log.count(c.logLine), 1) << c.logLine;
        EXPECT_EQ(testenv::readFile(root / "elsewhere.yaml"), c.special == 'l' ? "enabled: [" : "");
        if (c.what == std::string("missing")) { // committed, and not writable by others
            EXPECT_EQ(testenv::readFile(root / "var/lib/vyl/config-repo/app.yaml"), kDefaults);
            EXPECT_NE(testenv::readFile(root / "var/lib/vyl/config-repo/commits.log")
                          .find("app.yaml: app: population with defaults"),
                      std::string::npos);
            struct stat st;
            ASSERT_EQ(::stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0022, 0u);
        }
    }
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

TEST_F(YamlMixin, ReloadsOnItsOwnFileAndHandsTheOldConfigurationToHandlers) {
    testenv::PrivateBus bus;
    auto sender = testenv::sessionConnection();
    auto announce = [&sender](GVariant* body) {
        g_dbus_connection_emit_signal(
            sender->gobj(), nullptr,
            "/com/ulvaro/configuration/IConfigurationEvent/ConfigurationChanged",
            "com.ulvaro.configuration.IConfigurationEvent", "ConfigurationChanged", body, nullptr);
    };
    RecordingMixin mixin("app", &m_config, m_postDbus, m_preDbus, kDefaults,
                         ECMHM_BEST_EFFORT_SKIP_MALFORMATION,
                         ECCM_IGNORE_UNEXPECTED_AND_DEFAULT_MISSING, path().c_str());
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
    EXPECT_TRUE(
        m_log.has("ignoring ConfigurationChanged with arguments of type (s), expected (sss)"));

    m_root.write("etc/vyl/app.yaml", "name: third\n");
    announce(g_variant_new("(sss)", "x", path().c_str(), "y"));
    ASSERT_TRUE(testenv::waitUntil([&] { return mixin.seen.size() == 2; }));
    EXPECT_EQ(mixin.seen[1], "second");
    EXPECT_EQ(mixin.current[1], "third");
}

} // namespace
