#include "qcf_sdlp.h"

#include <pty.h>
#include <unistd.h>

#include "log_capture.h"

namespace {

using QCF::CLineSettingsConfig;

std::unique_ptr<CLineSettingsConfig> parse(const std::string& yaml) {
    std::unique_ptr<CLineSettingsConfig> config(new CLineSettingsConfig);
    std::string error;
    EXPECT_EQ(0, config->_yamlParseBuf(yaml, &error)) << yaml << error;
    return config;
}

// What is asked of the driver, and what a pseudo-terminal keeps of it: everything but character
// size and parity, which it holds at 8N1 (and says so in the log).
TEST(ALineSettingsConfig, ProgramsThePseudoTerminalAsConfigured) {
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
        int master = -1, slave = -1;
        ASSERT_EQ(0, ::openpty(&master, &slave, nullptr, nullptr, nullptr));
        struct termios tio = {};
        ASSERT_EQ(0, tcgetattr(slave, &tio));
        speed_t expected = c.speed == B0 ? cfgetospeed(&tio) : c.speed;
        auto config = parse(c.yaml);

        testenv::LogCapture log;
        config->fillTermios(tio);
        EXPECT_EQ(c.size, tio.c_cflag & CSIZE);
        EXPECT_EQ(c.cflags, tio.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS));
        EXPECT_EQ(c.iflags, tio.c_iflag & (IXON | IXOFF | INPCK | IGNPAR | PARMRK));
        EXPECT_EQ(expected, cfgetospeed(&tio));
        EXPECT_EQ(c.warning ? 1 : 0, log.count(VYL_LOG_WARN, c.warning ? c.warning : ""));

        log.clear();
        ASSERT_EQ(0, config->applySettingsToSerialPort(slave));
        ASSERT_EQ(0, tcgetattr(slave, &tio));
        EXPECT_EQ(c.cflags & (CSTOPB | CRTSCTS), tio.c_cflag & (CSTOPB | CRTSCTS));
        EXPECT_EQ(c.iflags, tio.c_iflag & (IXON | IXOFF | INPCK | IGNPAR | PARMRK));
        EXPECT_EQ(CLOCAL | CREAD, tio.c_cflag & (CLOCAL | CREAD));
        EXPECT_EQ(expected, cfgetospeed(&tio));
        EXPECT_EQ(expected, cfgetispeed(&tio));
        EXPECT_EQ(0u, tio.c_lflag | (tio.c_oflag & OPOST)); // raw
        EXPECT_EQ(1, tio.c_cc[VMIN]);
        EXPECT_EQ(0, tio.c_cc[VTIME]);
        bool framingKept = (tio.c_cflag & (CSIZE | PARENB)) == (c.size | (c.cflags & PARENB));
        EXPECT_EQ(framingKept ? 0 : 1, log.count(VYL_LOG_WARN, "the driver kept"));
        EXPECT_EQ(0, log.count(VYL_LOG_ERROR));
        ::close(slave);
        ::close(master);
    }
}

TEST(ALineSettingsConfig, FailsOnDescriptorsThatAreNoTerminal) {
    auto config = parse("speed: 57600");
    testenv::LogCapture log;
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    EXPECT_EQ(-1, config->applySettingsToSerialPort(pipeFds[0]));
    EXPECT_EQ(1, log.count(VYL_LOG_ERROR, "Error: retrieve serial port settings"));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(ALineSettingsConfig, EmitsOnlyWhatDiffersFromTheDefaultsAndAssignmentClearsTheRest) {
    auto config = parse("{speed: 9600, dataBits: 7, parity: odd, flowControl: xonxoff, "
                        "startBits: 2, stopBits: 2}");
    std::string text;
    ASSERT_EQ(0, config->_yamlEmitBuf(text));
    EXPECT_TRUE(*parse(text) == *config) << text;

    // Nothing of the first settings stays behind an assignment, and unusable values are not
    // written.
    *config = *parse("{speed: 57600, dataBits: seven}");
    ASSERT_EQ(0, config->_yamlEmitBuf(text));
    EXPECT_NE(std::string::npos, text.find("speed: 57600")) << text;
    for (const char* part : {"dataBits", "parity", "flowControl", "Bits"})
        EXPECT_EQ(std::string::npos, text.find(part)) << text;
}

} // namespace
