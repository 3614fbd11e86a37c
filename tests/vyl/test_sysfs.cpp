// The sysfs search and the device specification lists above it: a tree shaped like a gateway's,
// the bridge's built-in list, what makes a specification valid, copies and comparison.
#include "vyl_devspec.h"
#include "vyl_sysfs.h"

#include <cstdio>
#include <map>
#include <memory>

#include <unistd.h>

#include "bridge_document.h"
#include "fake_sysfs.h"
#include "test_env.h"

namespace {

// A sysfs tree shaped like a gateway's: USB serial adapters behind a hub and on the root hub (one
// with the cdc-acm layout), two on-board UARTs and a line reserved but empty, a virtual console,
// and a class link that leads nowhere.
class ASysfsTree : public ::testing::Test {
protected:
    testenv::TempRoot m_root;
    testenv::FakeSysfs m_sys{m_root.path()};

    void SetUp() override {
        m_sys.addUsbSerial("ttyUSB0", "1-1.4", 0x067b, 0x2303); // Prolific PL-2303
        m_sys.addUsbSerial("ttyUSB1", "1-1.3", 0x0403, 0x6001); // FTDI
        m_sys.addUsbSerial("ttyUSB2", "1-2", 0x0557, 0x2008);   // IOGEAR
        m_sys.addUsbSerial("ttyACM0", "1-5", 0x0557, 0x2008);   // IOGEAR: tty on the interface
        m_sys.addBuiltinSerial(0);                              // rear panel
        m_sys.addBuiltinSerial(1);
        m_sys.addBuiltinSerial(2, false); // reserved by the driver
        m_sys.addVirtualTty("tty0");
        ASSERT_EQ(0, ::symlink("../../devices/platform/nowhere/tty/ttyGONE",
                               m_sys.classPath("ttyGONE").c_str()));
    }
};

vyl::SDeviceMatch match(vyl::ESysfsBus bus, std::vector<vyl::SUsbId> ids,
                        std::vector<uint32_t> dpis = {}, std::vector<std::string> kinds = {}) {
    vyl::SDeviceMatch m;
    m.bus = bus;
    m.usbIds = ids;
    m.dpis = dpis;
    m.builtins = kinds;
    return m;
}

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

TEST_F(ASysfsTree, DescribesEveryKindOfTty) {
    std::vector<vyl::SSysfsDevice> devices;
    ASSERT_EQ(8, vyl::listSysfsDevices("tty", devices)) << "the dangling link is skipped";
    std::map<std::string, std::string> described;
    for (const auto& d : devices) {
        char text[128];
        std::snprintf(text, sizeof text, "%d %04x:%04x %s %d %08x", d.bus, d.idVendor, d.idProduct,
                      d.usbPort.c_str(), d.present, d.dpi);
        described[d.name] = text;
        EXPECT_EQ(m_sys.node(d.name), d.node);
        EXPECT_EQ(m_sys.devicePath(d.name), d.sysfsPath);
    }
    // Bus (0 none, 1 USB, 2 legacy), ids, USB port, present, DPI.
    EXPECT_EQ(described["ttyUSB0"], "1 067b:2303 1-1.4 1 02114000");
    EXPECT_EQ(described["ttyACM0"], "1 0557:2008 1-5 1 02150000");
    EXPECT_EQ(described["ttyS0"], "2 0000:0000  1 01000000");
    EXPECT_EQ(described["ttyS2"], "2 0000:0000  0 01000002");
    EXPECT_EQ(described["tty0"], "0 0000:0000  1 ff000000"); // VYL_DPI_UNKNOWN
}

// What a device list's search does not reach: ids, selectors and overlaps.
TEST_F(ASysfsTree, AppliesWhitelistsAndSelectors) {
    const std::vector<std::pair<std::vector<vyl::SDeviceMatch>, std::vector<std::string>>> cases = {
        {{match(vyl::SB_USB, {{0x067b, 0x2008}})}, {}}, // vendor alone is not enough
        {{match(vyl::SB_USB, {{0x067b, 0x2303}, {0x0557, 0x2008}}, {0x02120000})}, {"ttyUSB2"}},
        {{match(vyl::SB_LEGACY, {}, {0x01000002}, {"tty"})}, {}}, // selector on an empty line
        {{match(vyl::SB_USB, {{0x067b, 0x2303}}),
          match(vyl::SB_USB, {{0x067b, 0x2303}}, {0x02114000})},
         {"ttyUSB0"}},
    };
    for (const auto& [matches, names] : cases) {
        std::map<std::string, std::string> expected;
        for (const std::string& name : names)
            expected[m_sys.node(name)] = m_sys.devicePath(name);
        std::map<std::string, std::string> found{{"stale", "entry"}};
        EXPECT_EQ(static_cast<int>(names.size()), vyl::findSysfsDevices("tty", matches, found));
        EXPECT_EQ(expected, found);
    }
}

TEST_F(ASysfsTree, GivesDpisForClassLinksAndResolvedPathsAndRefusesBadClasses) {
    const std::pair<std::string, uint32_t> cases[] = {
        {m_sys.classPath("ttyS0"), 0x01000000},
        {m_sys.devicePath("ttyUSB0"), 0x02114000},
        {m_sys.classPath("ttyGONE"), VYL_DPI_UNKNOWN},
        {"", VYL_DPI_UNKNOWN},
    };
    for (const auto& [path, dpi] : cases)
        EXPECT_EQ(dpi, llGetDpiFromSysfs(path.c_str())) << path;
    EXPECT_EQ(VYL_DPI_UNKNOWN, llGetDpiFromSysfs(nullptr));

    std::map<std::string, std::string> found{{"stale", "entry"}};
    EXPECT_EQ(-1, vyl::findSysfsDevices("gpio", {match(vyl::SB_USB, {{0x067b, 0x2303}})}, found));
    EXPECT_TRUE(found.empty());
    for (const char* bad : {"", ".", "..", "../class/tty"})
        EXPECT_EQ(-1, vyl::findSysfsDevices(bad, {}, found)) << bad;
}

// The built-in list finds the whitelisted adapters, whatever their layout, and the selected
// on-board port only.
TEST_F(ASysfsTree, BuiltInListFindsWhitelistedAdaptersAndTheSelectedBuiltInPortOnly) {
    auto list = parse(kBuiltinDevices);
    std::map<std::string, std::string> found{{"stale", "entry"}};
    EXPECT_EQ(list->findDevices(found), 4);
    std::map<std::string, std::string> expected;
    for (const char* name : {"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB2"})
        expected[m_sys.node(name)] = m_sys.devicePath(name);
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
    EXPECT_EQ(list->findDevices(found), 3);
    EXPECT_EQ(found.count(m_sys.node("ttyUSB0")), 0u);

    // A class without a folder is an error.
    CVylDeviceSpecList usbmisc("usbmisc", EVDDL_BUS);
    ASSERT_EQ(usbmisc._yamlParseBuf(kBuiltinDevices), 0);
    EXPECT_LT(usbmisc.findDevices(found), 0);
}

TEST(AUsbPortDpi, PacksShortPathsAndHashesTheRest) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"1-14", 0x021E0000},      {"15-15.15.15.15.15", 0x02FFFFFF},
        {"usb1", VYL_DPI_UNKNOWN}, {"1-1.4:1.0", VYL_DPI_UNKNOWN},
        {"1-0", VYL_DPI_UNKNOWN},  {"1-1..4", VYL_DPI_UNKNOWN},
    };
    for (const auto& [port, dpi] : cases)
        EXPECT_EQ(dpi, vyl::usbPortDpi(port)) << port;

    // Paths that do not fit keep a stable identity of their own class.
    for (const char* port : {"16-1", "1-16", "1-1.2.3.4.5.6"}) {
        uint32_t dpi = vyl::usbPortDpi(port);
        EXPECT_EQ(VYL_DPI_USB_HASHED, dpi & 0xFF000000u) << port;
        EXPECT_EQ(dpi, vyl::usbPortDpi(port)) << port;
    }
    EXPECT_NE(vyl::usbPortDpi("1-16"), vyl::usbPortDpi("16-1"));
}

} // namespace
