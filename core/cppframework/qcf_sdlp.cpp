#include "qcf_sdlp.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

#include "qcf_debug.h"

namespace QCF {

namespace {

const unsigned kDataBits = 8;
const unsigned kStartBits = 1;
const unsigned kStopBits = 1;
const char* const kNone = "none";

bool usable(const CVylScalar& scalar) {
    return scalar.isSet() && scalar.valid();
}

unsigned unsignedOr(const CVylScalarInteger& scalar, unsigned fallback) {
    if (!usable(scalar))
        return fallback;
    long long value = scalar.getValue();
    return value >= 0 && value <= UINT_MAX ? static_cast<unsigned>(value) : fallback;
}

std::string textOr(const CVylScalar& scalar, const char* fallback) {
    return usable(scalar) ? scalar.getString() : std::string(fallback);
}

// A set value that the getters replace: the line gets the default, and the log says why.
void refuseUnusable(const CVylScalar& scalar, const char* key, const char* fallback) {
    if (scalar.isSet() && !scalar.valid())
        logWarning("serial line: refusing %s \"%s\", using %s", key, scalar.getStringRef().c_str(),
                   fallback);
}

// The bits this unit programs, to tell whether the driver took them.
bool sameLine(const struct termios& wanted, const struct termios& got) {
    const tcflag_t cflags = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CLOCAL | CREAD;
    const tcflag_t iflags = IXON | IXOFF | INPCK | IGNPAR | PARMRK;
    const tcflag_t lflags = ICANON | ECHO | ISIG | IEXTEN;
    return (wanted.c_cflag & cflags) == (got.c_cflag & cflags) &&
           (wanted.c_iflag & iflags) == (got.c_iflag & iflags) &&
           (wanted.c_lflag & lflags) == (got.c_lflag & lflags) &&
           wanted.c_cc[VMIN] == got.c_cc[VMIN] && wanted.c_cc[VTIME] == got.c_cc[VTIME];
}

} // namespace

CLineSettingsConfig::CLineSettingsConfig()
    : m_dataBits(kDataBits), m_flowControl(EVSF_DEFAULT, kNone), m_parity(EVSF_DEFAULT, kNone),
      m_speed(0), m_startBits(kStartBits), m_stopBits(kStopBits) {
    registerKey("dataBits", &m_dataBits);
    registerKey("flowControl", &m_flowControl);
    registerKey("parity", &m_parity);
    registerKey("speed", &m_speed);
    registerKey("startBits", &m_startBits);
    registerKey("stopBits", &m_stopBits);
}

CLineSettingsConfig::CLineSettingsConfig(const CLineSettingsConfig& other) : CLineSettingsConfig() {
    *this = other;
}

CLineSettingsConfig::~CLineSettingsConfig() = default;

CLineSettingsConfig& CLineSettingsConfig::operator=(const CLineSettingsConfig& other) {
    if (this == &other)
        return *this;
    CVylKnownSparseMap::operator=(other);
    m_dataBits = other.m_dataBits;
    m_flowControl = other.m_flowControl;
    m_parity = other.m_parity;
    m_speed = other.m_speed;
    m_startBits = other.m_startBits;
    m_stopBits = other.m_stopBits;
    return *this;
}

CVylYamlMixin* CLineSettingsConfig::clone() const {
    return new CLineSettingsConfig(*this);
}

int CLineSettingsConfig::_yamlEmit(yaml_emitter_t* emitter) const {
    std::map<std::string, const CVylYamlMixin*> keys;
    keys["speed"] = &m_speed;
    if (usable(m_dataBits) && m_dataBits.getValue() != kDataBits)
        keys["dataBits"] = &m_dataBits;
    if (usable(m_flowControl) && m_flowControl.getStringRef() != kNone)
        keys["flowControl"] = &m_flowControl;
    if (usable(m_parity) && m_parity.getStringRef() != kNone)
        keys["parity"] = &m_parity;
    if (usable(m_startBits) && m_startBits.getValue() != kStartBits)
        keys["startBits"] = &m_startBits;
    if (usable(m_stopBits) && m_stopBits.getValue() != kStopBits)
        keys["stopBits"] = &m_stopBits;
    return _yamlEmitMap(emitter, keys);
}

bool CLineSettingsConfig::valid() const {
    return usable(m_speed);
}

unsigned CLineSettingsConfig::getDataBits() const {
    return unsignedOr(m_dataBits, kDataBits);
}

unsigned CLineSettingsConfig::getStartBits() const {
    return unsignedOr(m_startBits, kStartBits);
}

unsigned CLineSettingsConfig::getStopBits() const {
    return unsignedOr(m_stopBits, kStopBits);
}

std::string CLineSettingsConfig::getParity() const {
    return textOr(m_parity, kNone);
}

std::string CLineSettingsConfig::getFlowControl() const {
    return textOr(m_flowControl, kNone);
}

speed_t CLineSettingsConfig::speedCode(long long bitsPerSecond) {
    static const struct {
        long long bps;
        speed_t code;
    } rates[] = {{50, B50},        {75, B75},       {110, B110},     {134, B134},
                 {150, B150},      {300, B300},     {600, B600},     {1200, B1200},
                 {1800, B1800},    {2400, B2400},   {4800, B4800},   {9600, B9600},
                 {19200, B19200},  {38400, B38400}, {57600, B57600}, {115200, B115200},
                 {230400, B230400}};
    for (const auto& rate : rates)
        if (rate.bps == bitsPerSecond)
            return rate.code;
    return B0;
}

speed_t CLineSettingsConfig::getSpeed() const {
    return usable(m_speed) ? speedCode(m_speed.getValue()) : B0;
}

void CLineSettingsConfig::fillTermios(struct termios& tio) const {
    cfmakeraw(&tio);
    // Some programs leave the receiver off; a line that cannot receive is of no use here.
    tio.c_cflag |= CREAD;

    refuseUnusable(m_dataBits, "dataBits", "8");
    long long dataBits = usable(m_dataBits) ? m_dataBits.getValue() : kDataBits;
    if (dataBits < 5 || dataBits > 8) {
        // A character size the UART cannot frame would garble every byte.
        logWarning("serial line: refusing dataBits %lld, using 8", dataBits);
        dataBits = kDataBits;
    }
    tio.c_cflag &= ~CSIZE;
    tio.c_cflag |= dataBits == 8 ? CS8 : dataBits == 7 ? CS7 : dataBits == 6 ? CS6 : CS5;

    refuseUnusable(m_flowControl, "flowControl", kNone);
    std::string flow = getFlowControl();
    tio.c_cflag |= CLOCAL;
    if (flow == "xonxoff") {
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cflag &= ~CRTSCTS;
    } else if (flow == "hardware") {
        tio.c_cflag |= CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF);
    } else {
        if (flow != kNone)
            logWarning("serial line: refusing flowControl \"%s\", using none", flow.c_str());
        tio.c_cflag &= ~CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF);
    }

    refuseUnusable(m_parity, "parity", kNone);
    std::string parity = getParity();
    if (parity == "even") {
        tio.c_iflag &= ~(IGNPAR | PARMRK);
        tio.c_iflag |= INPCK;
        tio.c_cflag &= ~PARODD;
        tio.c_cflag |= PARENB;
    } else if (parity == "odd") {
        tio.c_iflag &= ~(IGNPAR | PARMRK);
        tio.c_iflag |= INPCK;
        tio.c_cflag |= PARENB | PARODD;
    } else {
        if (parity != kNone)
            logWarning("serial line: refusing parity \"%s\", using none", parity.c_str());
        tio.c_iflag |= IGNPAR;
        tio.c_iflag &= ~INPCK;
        tio.c_cflag &= ~PARENB;
    }

    // B0 would hang the line up (drop DTR) instead of setting a rate.
    speed_t speed = getSpeed();
    if (speed == B0) {
        if (m_speed.isSet())
            logWarning("serial line: refusing speed \"%s\", keeping the line's current speed",
                       m_speed.getStringRef().c_str());
        else
            logWarning("serial line: no speed configured, keeping the line's current speed");
    } else {
        cfsetspeed(&tio, speed);
    }

    refuseUnusable(m_stopBits, "stopBits", "1");
    long long stopBits = usable(m_stopBits) ? m_stopBits.getValue() : kStopBits;
    if (stopBits != 1 && stopBits != 2)
        logWarning("serial line: refusing stopBits %lld, using 1", stopBits);
    if (stopBits == 2)
        tio.c_cflag |= CSTOPB;
    else
        tio.c_cflag &= ~CSTOPB;

    refuseUnusable(m_startBits, "startBits", "1");
    if (usable(m_startBits) && m_startBits.getValue() != kStartBits)
        logWarning("serial line: ignoring startBits %lld, a UART sends one",
                   m_startBits.getValue());

    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

int CLineSettingsConfig::applySettingsToSerialPort(int fd) const {
    if (fd < 0)
        return -1;
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        logError("Error: retrieve serial port settings");
        return -1;
    }
    logDebug("speed is: %lld", m_speed.getValue());
    logDebug("databits is: %u", getDataBits());
    logDebug("flowControl is: %s", getFlowControl().c_str());
    logDebug("stopBits is: %u", getStopBits());

    fillTermios(tio);

    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        logError("Error: apply serial settings");
        return -1;
    }
    // tcsetattr succeeds when the driver took any part of the request: look what it kept.
    struct termios now;
    if (tcgetattr(fd, &now) != 0 || cfgetospeed(&now) != cfgetospeed(&tio) ||
        cfgetispeed(&now) != cfgetispeed(&tio)) {
        // No byte would come through at a rate the driver refused.
        logError("Error: apply serial settings");
        return -1;
    }
    // Framing a driver cannot do is its own business (a pseudo-terminal is always 8N1): the line
    // works as far as it can, and the log tells what it got.
    if (!sameLine(tio, now))
        logWarning("serial line: the driver kept cflag %#o iflag %#o of the requested cflag %#o "
                   "iflag %#o",
                   static_cast<unsigned>(now.c_cflag), static_cast<unsigned>(now.c_iflag),
                   static_cast<unsigned>(tio.c_cflag), static_cast<unsigned>(tio.c_iflag));
    return 0;
}

} // namespace QCF
