// The whole daemon on its configuration: defaults on first start, device acquisition when the
// agent is enabled, and the reaction to a changed configuration file.
#include <cstdio>
#include <map>

#include <dirent.h>

#include <gtest/gtest.h>

#include "bridge_rig.h"
#include "tessarc_config.h"
#include "test_env.h"
#include "test_process.h"

namespace {

// Lock files in the lock folder with their contents.
std::map<std::string, std::string> locks(const testenv::TempRoot& root) {
    std::map<std::string, std::string> found;
    std::string dir = root / "var/lock";
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* entry = ::readdir(d))
            if (std::string(entry->d_name).rfind("LCK..", 0) == 0)
                found[entry->d_name] = testenv::readFile(dir + "/" + entry->d_name);
        ::closedir(d);
    }
    return found;
}

class ADaemonConfiguration : public testenv::BusTest {};

TEST_F(ADaemonConfiguration, WithoutAFileWritesTheBuiltInDocumentVerbatimAndStaysDisabled) {
    testenv::BridgeRig rig(m_root);
    ASSERT_TRUE(rig.startDaemon());
    EXPECT_EQ(testenv::readFile(m_root / "etc/vyl/tessarc.yaml"), g_tessarcDefaultYaml);
    EXPECT_EQ(testenv::readFile(m_root / "var/lib/vyl/config-repo/tessarc.yaml"),
              g_tessarcDefaultYaml);
    EXPECT_EQ(rig.callString("getCurrentStatus"), "Agent is disabled.");
    EXPECT_TRUE(locks(m_root).empty());
}

TEST_F(ADaemonConfiguration, EnabledAgentLocksItsDeviceAndReleasesItWhenDisabledByAChange) {
    testenv::BridgeRig rig(m_root);
    ASSERT_TRUE(rig.start(testenv::SBridgeOptions()));
    ASSERT_TRUE(rig.waitForStatus("QUARN serial link is down."));
    char expected[16];
    std::snprintf(expected, sizeof expected, "%10s\n",
                  testenv::readFile(m_root / "run/vyl/tessarc.pid").c_str());
    auto held = locks(m_root);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held.begin()->second, expected);

    std::string config = testenv::readFile(m_root / "etc/vyl/tessarc.yaml");
    config.replace(config.find("enabled: yes"), 12, "enabled: no");
    m_root.write("etc/vyl/tessarc.yaml", config);
    auto sender = testenv::sessionConnection();
    g_dbus_connection_emit_signal(
        sender->gobj(), nullptr,
        "/com/ulvaro/configuration/IConfigurationEvent/ConfigurationChanged",
        "com.ulvaro.configuration.IConfigurationEvent", "ConfigurationChanged",
        g_variant_new("(sss)", "test", "tessarc.yaml", "changed"), nullptr);
    g_dbus_connection_flush_sync(sender->gobj(), nullptr, nullptr);
    EXPECT_TRUE(rig.waitForStatus("Agent is disabled."));
    EXPECT_TRUE(testenv::waitUntil([&] { return locks(m_root).empty(); })) << rig.log();
}

} // namespace
