// Device specification lists: the bridge's built-in list, what makes a specification valid,
// copies and comparison, and the search of a sysfs tree shaped like a gateway's.
#include "vyl_devspec.h"

#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "bridge_document.h"
#include "fake_sysfs.h"
#include "test_env.h"

namespace {

const std::string kBuiltinDevices = testenv::bridgeDeviceList();

std::unique_ptr<CVylDeviceSpecList> parse(const std::string& text, int* rc = nullptr) {
    auto list = std::make_unique<CVylDeviceSpecList>("", EVDDL_BUS);
    int result = list->_yamlParseBuf(text);
    if (rc)
        *rc = result;
    return list;
}

TEST(DeviceSpecList, ParsesTheBuiltInListAndCopiesIt) {
    int rc = -1;
    auto list = parse(kBuiltinDevices, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(list->valid() && list->size() == 2u);
    EXPECT_EQ(list->getSpec(0)->whitelist().getElement(0)->idProduct().getValue(), 0x2303);
    EXPECT_EQ(list->getSpec(1)->selector().dpis().getElement(0)->getValue(), 0x01000000);

    // The same specifications in another order select the same devices; copies are deep.
    auto swapped = parse(
        "- {bus: legacy, devlevel: bus, selector: {DPI: [0x01000000]}, whitelist: [builtin: tty]}\n"
        "- {bus: usb, devlevel: bus, whitelist: [{idProduct: 0x2008, idVendor: 0x0557}, "
        "{idProduct: 0x2303, idVendor: 0x067b}]}\n");
    EXPECT_TRUE(*swapped == *list);
    std::unique_ptr<CVylYamlMixin> copy(list->clone());
    list->clear();
    EXPECT_TRUE(*copy == *swapped);
    EXPECT_TRUE(*copy != *list);
}

struct ValidityCase {
    const char* what;
    const char* yaml;
    bool parses;
    bool valid;
};

const ValidityCase kValidity[] = {
    {"level none", "- {bus: legacy, devlevel: none, whitelist: [builtin: tty]}", true, true},
    {"unknown bus", "- {bus: pci, whitelist: [builtin: tty]}", true, false},
    {"empty whitelist", "- {bus: usb, whitelist: []}", true, false},
    {"decimal id", "- {bus: usb, whitelist: [{idVendor: 0x067b, idProduct: 2303}]}", true, false},
    {"vendor only", "- {bus: usb, whitelist: [{idVendor: 0x067b}]}", true, false},
    {"usb with builtin", "- {bus: usb, whitelist: [builtin: tty]}", true, false},
    {"unknown level", "- {bus: legacy, devlevel: device, whitelist: [builtin: tty]}", true, false},
    {"DPI above 32 bits",
     "- {bus: legacy, selector: {DPI: [0x100000000]}, whitelist: [builtin: tty]}", true, false},
    {"one bad of two", "- {bus: legacy, whitelist: [builtin: tty]}\n- {bus: x}", true, false},
    {"a mapping", "bus: usb\n", false, false},
};

TEST(DeviceSpecList, ValidityFollowsBusWhitelistIdAndSelectorRules) {
    for (const ValidityCase& c : kValidity) {
        int rc = 0;
        auto list = parse(c.yaml, &rc);
        EXPECT_EQ(rc == 0, c.parses) << c.what;
        EXPECT_EQ(list->valid(), c.valid) << c.what;
        if (!c.valid) {
            std::map<std::string, std::string> found{{"stale", "entry"}};
            EXPECT_LT(list->findDevices(found), 0) << c.what;
            EXPECT_TRUE(found.empty()) << c.what;
        }
    }
}

class DeviceSearch : public ::testing::Test {
protected:
    testenv::TempRoot m_root;
    testenv::FakeSysfs m_sys{m_root.path()};
};

TEST_F(DeviceSearch, FindsWhitelistedAdaptersAndTheSelectedBuiltInPortOnly) {
    m_sys.addUsbSerial("ttyUSB0", "1-1.4", 0x067b, 0x2303); // PL-2303: listed
    m_sys.addUsbSerial("ttyUSB1", "1-1.3", 0x0403, 0x6001); // FTDI: not listed
    m_sys.addUsbSerial("ttyACM0", "2-1", 0x0557, 0x2008);   // IOGEAR, cdc-acm layout: listed
    m_sys.addBuiltinSerial(0);                              // rear panel: selected
    m_sys.addBuiltinSerial(1);                              // another port: not selected
    m_sys.addBuiltinSerial(2, false);                       // reserved by the driver
    m_sys.addVirtualTty("tty0");

    auto list = parse(kBuiltinDevices);
    std::map<std::string, std::string> found{{"stale", "entry"}};
    EXPECT_EQ(list->findDevices(found), 3);
    std::map<std::string, std::string> expected{
        {m_sys.node("ttyACM0"), m_sys.devicePath("ttyACM0")},
        {m_sys.node("ttyS0"), m_sys.devicePath("ttyS0")},
        {m_sys.node("ttyUSB0"), m_sys.devicePath("ttyUSB0")},
    };
    EXPECT_EQ(found, expected);

    // Without a selector every on-board port with a UART is found; the reserved one never.
    auto all = parse("- {bus: legacy, whitelist: [builtin: tty]}");
    EXPECT_EQ(all->findDevices(found), 2);
    EXPECT_EQ(found.count(m_sys.node("ttyS2")), 0u);

    // Level "none", by default or its own, finds nothing.
    CVylDeviceSpecList quiet("", EVDDL_NONE);
    ASSERT_EQ(quiet._yamlParseBuf("- {bus: legacy, whitelist: [builtin: tty]}"), 0);
    EXPECT_EQ(quiet.findDevices(found), 0);

    m_sys.remove("ttyUSB0");
    EXPECT_EQ(list->findDevices(found), 2);
    EXPECT_EQ(found.count(m_sys.node("ttyUSB0")), 0u);

    // A class without a folder is an error.
    CVylDeviceSpecList usbmisc("usbmisc", EVDDL_BUS);
    ASSERT_EQ(usbmisc._yamlParseBuf(kBuiltinDevices), 0);
    EXPECT_LT(usbmisc.findDevices(found), 0);
}

} // namespace
