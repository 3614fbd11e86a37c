// The bridge configuration tree and its built-in document.
#include <termios.h>

#include <gtest/gtest.h>

#include "bridge_document.h"
#include "tessarc_config.h"
#include "test_env.h"

namespace {

TEST(TessarcConfig, BuiltInDocumentIsByteForByteTheOneParsedHereAndCopiesWhole) {
    EXPECT_EQ(std::string(g_tessarcDefaultYaml), testenv::kBridgeDocument);

    testenv::TempRoot root;
    CTessarcConfig config;
    std::string error;
    ASSERT_EQ(config._yamlParseBuf(g_tessarcDefaultYaml, &error), 0) << error;
    ASSERT_TRUE(config.valid());
    EXPECT_FALSE(config.enabled());
    EXPECT_EQ(config.getGate(), "wanUp");
    EXPECT_TRUE(config.getDeviceSpecList()->valid());
    EXPECT_EQ(config.getLineSettings()->getSpeed(), static_cast<speed_t>(B57600));
    EXPECT_TRUE(config.getGatesAndTriggers()->lua().gates().hasKey("vpnUp"));

    // A copy is equal, and keeps the old values when the original parses a changed document.
    std::unique_ptr<CVylYamlMixin> copy(config.clone());
    EXPECT_TRUE(*copy == config);
    std::string changed = g_tessarcDefaultYaml;
    changed.replace(changed.find("0x2303"), 6, "0x2304");
    changed.replace(changed.find("enabled: no"), 11, "enabled: yes");
    ASSERT_EQ(config._yamlParseBuf(changed), 0);
    auto* before = dynamic_cast<CTessarcConfig*>(copy.get());
    ASSERT_TRUE(before && !before->enabled());
    EXPECT_TRUE(*before->getDeviceSpecList() != *config.getDeviceSpecList());
    EXPECT_TRUE(before->getGatesAndTriggers()->lua().gates().hasKey("wanUp"));
}

} // namespace
