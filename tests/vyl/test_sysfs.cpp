#include "vyl_sysfs.h"

#include <unistd.h>

#include "test_env.h"

namespace {

const std::string kHub = "sys/devices/pci0000:00/0000:00:14.0/usb1";

// A sysfs tree shaped like a gateway's: two USB serial adapters behind a hub, a CDC modem port,
// the on-board UART with three reserved but empty 8250 lines, and virtual consoles.
class ASysfsTree : public ::testing::Test {
protected:
    testenv::TempRoot m_root;

    void SetUp() override {
        usbDevice(kHub, "1d6b", "0002"); // root hub
        usbDevice(kHub + "/1-1", "8087", "0024");
        usbDevice(kHub + "/1-1/1-1.4", "067b", "2303"); // Prolific PL-2303
        usbSerial(kHub + "/1-1/1-1.4/1-1.4:1.0/ttyUSB0", "ttyUSB0");
        usbDevice(kHub + "/1-1/1-1.3", "0403", "6001"); // FTDI, not whitelisted
        usbSerial(kHub + "/1-1/1-1.3/1-1.3:1.0/ttyUSB1", "ttyUSB1");
        usbDevice(kHub + "/1-2", "0557", "2008"); // IOGEAR, directly on the root hub
        usbSerial(kHub + "/1-2/1-2:1.0/ttyUSB2", "ttyUSB2");
        usbDevice(kHub + "/1-5", "1199", "9071"); // modem: tty hangs on the interface itself
        classTty(kHub + "/1-5/1-5:1.3", "ttyACM0");

        classTty("sys/devices/pnp0/00:04", "ttyS0", "4");
        for (const char* line : {"ttyS1", "ttyS2", "ttyS3"})
            classTty("sys/devices/platform/serial8250", line, "0");
        virtualTty("tty0");
        virtualTty("console");
        link("sys/class/tty/ttyGONE", "../../devices/platform/nowhere/tty/ttyGONE");
    }

    void usbDevice(const std::string& dir, const char* vendor, const char* product) {
        m_root.write(dir + "/idVendor", std::string(vendor) + "\n");
        m_root.write(dir + "/idProduct", std::string(product) + "\n");
    }
    void usbSerial(const std::string& port, const std::string& name) {
        m_root.write(port + "/uevent", "");
        classTty(port, name);
    }
    // The tty's class directory below `device`, its `device` link and the class link.
    void classTty(const std::string& device, const std::string& name, const char* type = nullptr) {
        std::string dir = device + "/tty/" + name;
        m_root.write(dir + "/dev", "188:0\n");
        if (type)
            m_root.write(dir + "/type", std::string(type) + "\n");
        link(dir + "/device", "../..");
        link("sys/class/tty/" + name, "../../" + dir.substr(4));
    }
    void virtualTty(const std::string& name) {
        m_root.write("sys/devices/virtual/tty/" + name + "/dev", "4:0\n");
        link("sys/class/tty/" + name, "../../devices/virtual/tty/" + name);
    }
    void link(const std::string& at, const std::string& target) {
        m_root.write(at + ".tmp", "");
        ::unlink((m_root / at + ".tmp").c_str());
        ASSERT_EQ(0, ::symlink(target.c_str(), (m_root / at).c_str())) << at;
    }
    std::string real(const std::string& relative) {
        char* path = ::realpath((m_root / relative).c_str(), nullptr);
        std::string result = path ? path : "";
        ::free(path);
        return result;
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
    ASSERT_EQ(10, vyl::listSysfsDevices("tty", devices)) << "the dangling link is skipped";
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
        {"ttyUSB1", vyl::SB_USB, 0x0403, 0x6001, "1-1.3", true, 0x02113000},
        {"ttyUSB2", vyl::SB_USB, 0x0557, 0x2008, "1-2", true, 0x02120000},
        {"ttyACM0", vyl::SB_USB, 0x1199, 0x9071, "1-5", true, 0x02150000},
        {"ttyS0", vyl::SB_LEGACY, 0, 0, "", true, 0x01000000},
        {"ttyS2", vyl::SB_LEGACY, 0, 0, "", false, 0x01000002},
        {"tty0", vyl::SB_NONE, 0, 0, "", true, VYL_DPI_UNKNOWN},
    };
    for (const Expected& e : table) {
        ASSERT_EQ(1u, byName.count(e.name)) << e.name;
        const vyl::SSysfsDevice& device = byName[e.name];
        EXPECT_EQ(e.bus, device.bus) << e.name;
        EXPECT_EQ(e.vendor, device.idVendor) << e.name;
        EXPECT_EQ(e.product, device.idProduct) << e.name;
        EXPECT_EQ(e.port, device.usbPort) << e.name;
        EXPECT_EQ(e.present, device.present) << e.name;
        EXPECT_EQ(e.dpi, device.dpi) << e.name;
        EXPECT_EQ(m_root / (std::string("dev/") + e.name), device.node) << e.name;
        EXPECT_EQ(real(std::string("sys/class/tty/") + e.name), device.sysfsPath) << e.name;
    }
}

TEST_F(ASysfsTree, FindsWhatTheBuiltInDefaultsAccept) {
    auto found =
        find({usb({{0x067b, 0x2303}, {0x0557, 0x2008}}), legacy({"tty"}, {VYL_DPI_LEGACY})});
    std::map<std::string, std::string> expected{
        {m_root / "dev/ttyUSB0", real("sys/class/tty/ttyUSB0")},
        {m_root / "dev/ttyUSB2", real("sys/class/tty/ttyUSB2")},
        {m_root / "dev/ttyS0", real("sys/class/tty/ttyS0")},
    };
    EXPECT_EQ(expected, found);
    for (const auto& entry : found)
        EXPECT_NE(VYL_DPI_UNKNOWN, llGetDpiFromSysfs(entry.second.c_str())) << entry.first;
}

TEST_F(ASysfsTree, AppliesWhitelistsAndSelectors) {
    struct Case {
        const char* what;
        std::vector<vyl::SDeviceMatch> matches;
        std::vector<std::string> names;
    } cases[] = {
        {"no specifications", {}, {}},
        {"empty USB whitelist", {usb({})}, {}},
        {"vendor alone is not enough", {usb({{0x067b, 0x2008}})}, {}},
        {"a modem by its ids", {usb({{0x1199, 0x9071}})}, {"ttyACM0"}},
        {"USB selector picks the port",
         {usb({{0x067b, 0x2303}, {0x0557, 0x2008}}, {0x02120000})},
         {"ttyUSB2"}},
        {"legacy without selector skips empty lines", {legacy({"tty"})}, {"ttyS0"}},
        {"legacy selector on an empty line", {legacy({"tty"}, {0x01000001})}, {}},
        {"unknown built-in kind", {legacy({"uart"})}, {}},
        {"USB ids do not match legacy ports", {legacy({}), usb({{0, 0}})}, {}},
        {"overlapping specifications list a device once",
         {usb({{0x067b, 0x2303}}), usb({{0x067b, 0x2303}}, {0x02114000})},
         {"ttyUSB0"}},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> expected;
        for (const std::string& name : c.names)
            expected[m_root / ("dev/" + name)] = real("sys/class/tty/" + name);
        EXPECT_EQ(expected, find(c.matches)) << c.what;
    }
}

TEST_F(ASysfsTree, GivesDpisForClassLinksAndResolvedPaths) {
    struct Case {
        std::string path;
        uint32_t dpi;
    } cases[] = {
        {m_root / "sys/class/tty/ttyS0", 0x01000000},
        {real("sys/class/tty/ttyS0"), 0x01000000},
        {m_root / "sys/class/tty/ttyUSB0", 0x02114000},
        {m_root / kHub + "/1-1/1-1.4/1-1.4:1.0/ttyUSB0/tty/ttyUSB0", 0x02114000},
        {m_root / "sys/class/tty/tty0", VYL_DPI_UNKNOWN},
        {m_root / "sys/class/tty/ttyGONE", VYL_DPI_UNKNOWN},
        {m_root / "sys/class/tty/nothing", VYL_DPI_UNKNOWN},
        {"", VYL_DPI_UNKNOWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.dpi, llGetDpiFromSysfs(c.path.c_str())) << c.path;
    EXPECT_EQ(VYL_DPI_UNKNOWN, llGetDpiFromSysfs(nullptr));
}

TEST_F(ASysfsTree, ReportsAMissingClassAsError) {
    std::map<std::string, std::string> found{{"stale", "entry"}};
    EXPECT_EQ(-1, vyl::findSysfsDevices("gpio", {usb({{0x067b, 0x2303}})}, found));
    EXPECT_TRUE(found.empty());
    for (const char* bad : {"", ".", "..", "../class/tty"})
        EXPECT_EQ(-1, vyl::findSysfsDevices(bad, {}, found)) << bad;
}

TEST(AUsbPortDpi, PacksShortPathsAndHashesTheRest) {
    struct Case {
        const char* port;
        uint32_t dpi;
    } cases[] = {
        {"1-1", 0x02110000},
        {"1-1.4", 0x02114000},
        {"1-14", 0x021E0000},
        {"2-1.4", 0x02214000},
        {"15-15.15.15.15.15", 0x02FFFFFF},
        {"usb1", VYL_DPI_UNKNOWN},
        {"1-1.4:1.0", VYL_DPI_UNKNOWN},
        {"1-", VYL_DPI_UNKNOWN},
        {"1-0", VYL_DPI_UNKNOWN},
        {"0-1", VYL_DPI_UNKNOWN},
        {"1-1..4", VYL_DPI_UNKNOWN},
        {"1", VYL_DPI_UNKNOWN},
        {"", VYL_DPI_UNKNOWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.dpi, vyl::usbPortDpi(c.port)) << c.port;

    // Paths that do not fit keep a stable identity of their own class.
    for (const char* port : {"16-1", "1-16", "1-1.2.3.4.5.6", "123456789-1"}) {
        uint32_t dpi = vyl::usbPortDpi(port);
        EXPECT_EQ(VYL_DPI_USB_HASHED, dpi & 0xFF000000u) << port;
        EXPECT_EQ(dpi, vyl::usbPortDpi(port)) << port;
    }
    EXPECT_NE(vyl::usbPortDpi("1-16"), vyl::usbPortDpi("16-1"));
}

} // namespace
