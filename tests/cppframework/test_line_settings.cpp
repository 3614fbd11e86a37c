#include "qcf_sdlp.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "log_capture.h"
#include "qcf_debug.h"
#include "test_env.h"

namespace {

using QCF::CLineSettingsConfig;

// The subordinate side of a fresh pseudo-terminal, the nearest thing to a serial port at hand.
class CPty {
public:
    CPty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        m_slave = ::open(::ptsname(m_master), O_RDWR | O_NOCTTY);
    }
    ~CPty() {
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
    }
    int fd() const { return m_slave; }
    struct termios attributes() const {
        struct termios tio = {};
        EXPECT_EQ(0, tcgetattr(m_slave, &tio));
        return tio;
    }

private:
    int m_master = -1;
    int m_slave = -1;
};

std::unique_ptr<CLineSettingsConfig> parse(const std::string& yaml) {
    std::unique_ptr<CLineSettingsConfig> config(new CLineSettingsConfig);
    std::string error;
    EXPECT_EQ(0, config->_yamlParseBuf(yaml, &error)) << yaml << error;
    return config;
}

std::string emit(const CLineSettingsConfig& config) {
    std::string text;
    EXPECT_EQ(0, config._yamlEmitBuf(text));
    return text;
}

TEST(ALineSettingsConfig, ProgramsTheLineAsConfigured) {
    struct Case {
        const char* yaml;
        tcflag_t size;
        tcflag_t cflags;     // of PARENB PARODD CSTOPB CRTSCTS
        tcflag_t iflags;     // of IXON IXOFF INPCK IGNPAR
        speed_t speed;       // B0: the line keeps its speed
        const char* warning; // a part of the expected warning, or null for none
    } cases[] = {
        {"speed: 57600", CS8, 0, IGNPAR, B57600, nullptr},
        {"{speed: 9600, dataBits: 7, parity: even, stopBits: 2}", CS7, PARENB | CSTOPB, INPCK,
         B9600, nullptr},
        {"{speed: 115200, dataBits: 6, parity: odd}", CS6, PARENB | PARODD, INPCK, B115200,
         nullptr},
        {"{speed: 230400, flowControl: xonxoff}", CS8, 0, IXON | IXOFF | IGNPAR, B230400, nullptr},
        {"{speed: 19200, flowControl: hardware}", CS8, CRTSCTS, IGNPAR, B19200, nullptr},
        {"{speed: 0x4b00, startBits: 1, stopBits: 1}", CS8, 0, IGNPAR, B19200, nullptr},
        // Values the line cannot take keep a working one.
        {"{speed: 57600, dataBits: 9}", CS8, 0, IGNPAR, B57600, "dataBits 9"},
        {"{speed: 57600, dataBits: eight}", CS8, 0, IGNPAR, B57600, "dataBits \"eight\""},
        {"{speed: 57600, stopBits: 3}", CS8, 0, IGNPAR, B57600, "stopBits 3"},
        {"{speed: 57600, parity: EVEN}", CS8, 0, IGNPAR, B57600, "parity \"EVEN\""},
        {"{speed: 57600, flowControl: rtscts}", CS8, 0, IGNPAR, B57600, "flowControl \"rtscts\""},
        {"speed: 200", CS8, 0, IGNPAR, B0, "speed \"200\""},
        {"speed: fast", CS8, 0, IGNPAR, B0, "speed \"fast\""},
        {"dataBits: 7", CS7, 0, IGNPAR, B0, "no speed configured"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.yaml);
        CPty pty;
        ASSERT_GE(pty.fd(), 0);
        struct termios initial = pty.attributes();
        speed_t before = cfgetospeed(&initial);
        speed_t expected = c.speed == B0 ? before : c.speed;
        auto config = parse(c.yaml);

        // What is asked of the driver.
        testenv::LogCapture log;
        struct termios tio = initial;
        config->fillTermios(tio);
        EXPECT_EQ(c.size, tio.c_cflag & CSIZE);
        EXPECT_EQ(c.cflags, tio.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS));
        EXPECT_EQ(c.iflags, tio.c_iflag & (IXON | IXOFF | INPCK | IGNPAR | PARMRK));
        EXPECT_EQ(expected, cfgetospeed(&tio));
        if (c.warning)
            EXPECT_EQ(1, log.count(VYL_LOG_WARN, c.warning));
        else
            EXPECT_EQ(0, log.count(VYL_LOG_WARN));

        // What a pseudo-terminal keeps of it: everything but character size and parity, which
        // it holds at 8N1 (and says so in the log).
        testenv::LogCapture applyLog;
        ASSERT_EQ(0, config->applySettingsToSerialPort(pty.fd()));
        tio = pty.attributes();
        EXPECT_EQ(c.cflags & (CSTOPB | CRTSCTS), tio.c_cflag & (CSTOPB | CRTSCTS));
        EXPECT_EQ(c.iflags, tio.c_iflag & (IXON | IXOFF | INPCK | IGNPAR | PARMRK));
        EXPECT_EQ(CLOCAL | CREAD, tio.c_cflag & (CLOCAL | CREAD));
        EXPECT_EQ(expected, cfgetospeed(&tio));
        EXPECT_EQ(expected, cfgetispeed(&tio));
        EXPECT_EQ(0u, tio.c_lflag);
        EXPECT_EQ(0u, tio.c_oflag & OPOST);
        EXPECT_EQ(1, tio.c_cc[VMIN]);
        EXPECT_EQ(0, tio.c_cc[VTIME]);
        bool framingKept = (tio.c_cflag & (CSIZE | PARENB)) == (c.size | (c.cflags & PARENB));
        EXPECT_EQ(framingKept ? 0 : 1, applyLog.count(VYL_LOG_WARN, "the driver kept"));
        EXPECT_EQ(0, applyLog.count(VYL_LOG_ERROR));
    }
}

TEST(ALineSettingsConfig, FailsOnDescriptorsThatAreNoTerminal) {
    auto config = parse("speed: 57600");
    testenv::LogCapture log;
    EXPECT_EQ(-1, config->applySettingsToSerialPort(-1));

    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    EXPECT_EQ(-1, config->applySettingsToSerialPort(pipeFds[0]));
    EXPECT_EQ(1, log.count(VYL_LOG_ERROR, "Error: retrieve serial port settings"));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(ALineSettingsConfig, EmitsOnlyWhatDiffersFromTheDefaults) {
    struct Case {
        const char* yaml;
        std::vector<const char*> emitted;
        std::vector<const char*> left;
    } cases[] = {
        {"speed: 57600", {"speed: 57600"}, {"dataBits", "parity", "flowControl", "Bits"}},
        {"{speed: 9600, dataBits: 7, parity: odd, flowControl: xonxoff, startBits: 2, "
         "stopBits: 2}",
         {"speed: 9600", "dataBits: 7", "parity: odd", "flowControl: xonxoff", "startBits: 2",
          "stopBits: 2"},
         {}},
        {"{speed: 9600, dataBits: seven}", {"speed: 9600"}, {"dataBits"}},
    };
    for (const Case& c : cases) {
        auto config = parse(c.yaml);
        std::string text = emit(*config);
        for (const char* part : c.emitted)
            EXPECT_NE(std::string::npos, text.find(part)) << c.yaml << "\n" << text;
        for (const char* part : c.left)
            EXPECT_EQ(std::string::npos, text.find(part)) << c.yaml << "\n" << text;
        CLineSettingsConfig back;
        EXPECT_EQ(0, back._yamlParseBuf(text)) << text;
        EXPECT_EQ(config->getSpeed(), back.getSpeed());
        EXPECT_EQ(config->getDataBits(), back.getDataBits());
        EXPECT_EQ(config->getParity(), back.getParity());
        EXPECT_EQ(config->getFlowControl(), back.getFlowControl());
        EXPECT_EQ(config->getStopBits(), back.getStopBits());
    }
}

TEST(ALineSettingsConfig, AssignmentClearsKeysTheSourceLacks) {
    auto config = parse("{speed: 9600, dataBits: 7, parity: odd, stopBits: 2}");
    *config = *parse("speed: 57600");
    EXPECT_EQ(8u, config->getDataBits());
    EXPECT_EQ("none", config->getParity());
    EXPECT_EQ(1u, config->getStopBits());
}

} // namespace
