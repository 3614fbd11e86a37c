// Serial line settings: the configuration map of a serial line (speed, character size, parity,
// start and stop bits, flow control) and the operation that programs them on an open terminal
// through termios. Main-loop thread, like every configuration node.
//
// Keys (all optional except "speed"; a missing or unusable value falls back to its default):
//   speed        bits per second: 50 ... 230400 (the standard rates)
//   dataBits     5, 6, 7 or 8 (default 8)
//   parity       none | even | odd (default none; compared exactly, "EVEN" is no parity)
//   flowControl  none | xonxoff | hardware (default none)
//   startBits    1 (a UART always sends one; other values are ignored)
//   stopBits     1 or 2 (default 1)
#pragma once

#include <string>
#include <termios.h>

#include "vyl_yaml.h"

namespace QCF {

class CLineSettingsConfig : public CVylKnownSparseMap {
public:
    CLineSettingsConfig();
    CLineSettingsConfig(const CLineSettingsConfig& other);
    ~CLineSettingsConfig() override;

    CLineSettingsConfig& operator=(const CLineSettingsConfig& other);
    using CVylKnownSparseMap::operator=;
    CVylYamlMixin* clone() const override;
    // "speed" always; every other key only when valid and not at its default.
    int _yamlEmit(yaml_emitter_t* emitter) const override;
    // A valid "speed" integer is required; the other keys are optional.
    bool valid() const override;

    unsigned getDataBits() const;
    unsigned getStartBits() const;
    unsigned getStopBits() const;
    std::string getParity() const;
    std::string getFlowControl() const;
    // The termios code of the configured speed; B0 when it is missing or no standard rate.
    speed_t getSpeed() const;

    // Programs the line on `fd`: raw mode, the configured framing and speed, each read waiting for
    // at least one byte. Values the line cannot take are refused with a warning and the line
    // keeps a working value (the default, or for the speed the line's current one). 0 on
    // success, -1 when the attributes cannot be read or set or the driver refused the speed;
    // framing the driver cannot do (a pseudo-terminal is always 8N1) is only logged.
    int applySettingsToSerialPort(int fd) const;

    // The raw-mode attributes of the configured line on top of `tio` (whose speed stays when
    // the configured one is unusable); refused values are logged as warnings.
    void fillTermios(struct termios& tio) const;

    // The termios code of `bitsPerSecond`, B0 when it is no standard rate.
    static speed_t speedCode(long long bitsPerSecond);

private:
    CVylScalarInteger m_dataBits;
    CVylScalar m_flowControl;
    CVylScalar m_parity;
    CVylScalarInteger m_speed;
    CVylScalarInteger m_startBits;
    CVylScalarInteger m_stopBits;
};

} // namespace QCF
