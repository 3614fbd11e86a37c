#include "vyl_sysfs.h"

#include <unistd.h>

#include "fake_sysfs.h"
#include "test_env.h"

namespace {

// A sysfs tree shaped like a gateway's: USB serial adapters behind a hub and on the root hub, a
// CDC modem port, the on-board UART with two lines reserved but empty, a virtual console, and a
// class link that leads nowhere.
class ASysfsTree : public ::testing::Test {
protected:
    testenv::TempRoot m_root;
    testenv::FakeSysfs m_sys{m_root.path()};

    void SetUp() override {
        m_sys.addUsbSerial("ttyUSB0", "1-1.4", 0x067b, 0x2303); // Prolific PL-2303
        m_sys.addUsbSerial("ttyUSB1", "1-1.3", 0x0403, 0x6001); // FTDI
        m_sys.addUsbSerial("ttyUSB2", "1-2", 0x0557, 0x2008);   // IOGEAR
        m_sys.addUsbSerial("ttyACM0", "1-5", 0x1199, 0x9071);   // modem: tty on the interface
        m_sys.addBuiltinSerial(0);
        m_sys.addBuiltinSerial(1, false);
        m_sys.addBuiltinSerial(2, false);
        m_sys.addVirtualTty("tty0");
        ASSERT_EQ(0, ::symlink("../../devices/platform/nowhere/tty/ttyGONE",
                               m_sys.classPath("ttyGONE").c_str()));
    }

    std::map<std::string, std::string> find(const std::vector<vyl::SDeviceMatch>& matches) {
        std::map<std::string, std::string> found{{"stale", "entry"}};
        int count = vyl::findSysfsDevices("tty", matches, found);
        EXPECT_EQ(static_cast<int>(found.size()), count);
        return found;
    }
};

vyl::SDeviceMatch usb(std::vector<vyl::SUsbId> ids, std::vector<uint32_t> dpis = {}) {
    vyl::SDeviceMatch match;
    match.bus = vyl::SB_USB;
    match.usbIds = ids;
    match.dpis = dpis;
    return match;
}

vyl::SDeviceMatch legacy(std::vector<std::string> kinds, std::vector<uint32_t> dpis = {}) {
    vyl::SDeviceMatch match;
    match.bus = vyl::SB_LEGACY;
    match.builtins = kinds;
    match.dpis = dpis;
    return match;
}

TEST_F(ASysfsTree, DescribesEveryKindOfTty) {
    std::vector<vyl::SSysfsDevice> devices;
    ASSERT_EQ(8, vyl::listSysfsDevices("tty", devices)) << "the dangling link is skipped";
    std::map<std::string, vyl::SSysfsDevice> byName;
    for (const auto& device : devices)
        byName[device.name] = device;

    struct Expected {
        const char* name;
        vyl::ESysfsBus bus;
        unsigned vendor, product;
        const char* port;
        bool present;
        uint32_t dpi;
    } table[] = {
        {"ttyUSB0", vyl::SB_USB, 0x067b, 0x2303, "1-1.4", true, 0x02114000},
        {"ttyACM0", vyl::SB_USB, 0x1199, 0x9071, "1-5", true, 0x02150000},
        {"ttyS0", vyl::SB_LEGACY, 0, 0, "", true, 0x01000000},
        {"ttyS2", vyl::SB_LEGACY, 0, 0, "", false, 0x01000002},
        {"tty0", vyl::SB_NONE, 0, 0, "", true, VYL_DPI_UNKNOWN},
    };
    for (const Expected& e : table) {
        SCOPED_TRACE(e.name);
        ASSERT_EQ(1u, byName.count(e.name));
        const vyl::SSysfsDevice& device = byName[e.name];
        EXPECT_EQ(e.bus, device.bus);
        EXPECT_EQ(e.vendor, device.idVendor);
        EXPECT_EQ(e.product, device.idProduct);
        EXPECT_EQ(e.port, device.usbPort);
        EXPECT_EQ(e.present, device.present);
        EXPECT_EQ(e.dpi, device.dpi);
        EXPECT_EQ(m_sys.node(e.name), device.node);
        EXPECT_EQ(m_sys.devicePath(e.name), device.sysfsPath);
    }
}

TEST_F(ASysfsTree, AppliesWhitelistsAndSelectors) {
    struct Case {
        const char* what;
        std::vector<vyl::SDeviceMatch> matches;
        std::vector<std::string> names;
    } cases[] = {
        {"empty USB whitelist", {usb({})}, {}},
        {"vendor alone is not enough", {usb({{0x067b, 0x2008}})}, {}},
        {"a modem by its ids", {usb({{0x1199, 0x9071}})}, {"ttyACM0"}},
        {"USB selector picks the port",
         {usb({{0x067b, 0x2303}, {0x0557, 0x2008}}, {0x02120000})},
         {"ttyUSB2"}},
        {"legacy without selector skips empty lines", {legacy({"tty"})}, {"ttyS0"}},
        {"legacy selector on an empty line", {legacy({"tty"}, {0x01000001})}, {}},
        {"unknown built-in kind", {legacy({"uart"})}, {}},
        {"overlapping specifications list a device once",
         {usb({{0x067b, 0x2303}}), usb({{0x067b, 0x2303}}, {0x02114000})},
         {"ttyUSB0"}},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> expected;
        for (const std::string& name : c.names)
            expected[m_sys.node(name)] = m_sys.devicePath(name);
        EXPECT_EQ(expected, find(c.matches)) << c.what;
    }
}

TEST_F(ASysfsTree, GivesDpisForClassLinksAndResolvedPathsAndRefusesBadClasses) {
    const std::pair<std::string, uint32_t> cases[] = {
        {m_sys.classPath("ttyS0"), 0x01000000},
        {m_sys.devicePath("ttyUSB0"), 0x02114000},
        {m_sys.classPath("ttyGONE"), VYL_DPI_UNKNOWN},
        {m_sys.classPath("nothing"), VYL_DPI_UNKNOWN},
        {"", VYL_DPI_UNKNOWN},
    };
    for (const auto& [path, dpi] : cases)
        EXPECT_EQ(dpi, llGetDpiFromSysfs(path.c_str())) << path;
    EXPECT_EQ(VYL_DPI_UNKNOWN, llGetDpiFromSysfs(nullptr));

    std::map<std::string, std::string> found{{"stale", "entry"}};
    EXPECT_EQ(-1, vyl::findSysfsDevices("gpio", {usb({{0x067b, 0x2303}})}, found));
    EXPECT_TRUE(found.empty());
    for (const char* bad : {"", ".", "..", "../class/tty"})
        EXPECT_EQ(-1, vyl::findSysfsDevices(bad, {}, found)) << bad;
}

TEST(AUsbPortDpi, PacksShortPathsAndHashesTheRest) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"1-1", 0x02110000},         {"1-14", 0x021E0000},
        {"2-1.4", 0x02214000},       {"15-15.15.15.15.15", 0x02FFFFFF},
        {"usb1", VYL_DPI_UNKNOWN},   {"1-1.4:1.0", VYL_DPI_UNKNOWN},
        {"1-0", VYL_DPI_UNKNOWN},    {"0-1", VYL_DPI_UNKNOWN},
        {"1-1..4", VYL_DPI_UNKNOWN}, {"1-", VYL_DPI_UNKNOWN},
    };
    for (const auto& [port, dpi] : cases)
        EXPECT_EQ(dpi, vyl::usbPortDpi(port)) << port;

    // Paths that do not fit keep a stable identity of their own class.
    for (const char* port : {"16-1", "1-16", "1-1.2.3.4.5.6", "123456789-1"}) {
        uint32_t dpi = vyl::usbPortDpi(port);
        EXPECT_EQ(VYL_DPI_USB_HASHED, dpi & 0xFF000000u) << port;
        EXPECT_EQ(dpi, vyl::usbPortDpi(port)) << port;
    }
    EXPECT_NE(vyl::usbPortDpi("1-16"), vyl::usbPortDpi("16-1"));
}

} // namespace
