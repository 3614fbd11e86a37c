// The bridge's configuration tree ("tessarc.yaml") and its built-in default document. One live
// CTessarcConfig exists per process; the configuration mixin fills and refills it in place, so
// accessors always give the current values. Main-loop thread only.
#pragma once

#include <string>

#include "qcf_gt.h"
#include "qcf_sdlp.h"
#include "vyl_devspec.h"
#include "vyl_yaml.h"

// The built-in default document, written verbatim when the file is missing or invalid.
extern const char* const g_tessarcDefaultYaml;

class CNetworkSettings : public CVylKnownSparseMap {
public:
    CNetworkSettings();
    ~CNetworkSettings() override;
    CNetworkSettings& operator=(const CNetworkSettings& other);
    using CVylKnownSparseMap::operator=;
    CVylYamlMixin* clone() const override;

    CVylScalar gate;
    CVylScalarInteger maxBufBytesToSvr;
    CVylScalarInteger maxBufBytesScanAvi;
    CVylScalar overrideServerIPAddr;
    CVylScalar overrideServerTCPPort;
};

class CSerialSettings : public CVylKnownSparseMap {
public:
    CSerialSettings();
    ~CSerialSettings() override;
    CSerialSettings& operator=(const CSerialSettings& other);
    using CVylKnownSparseMap::operator=;
    CVylYamlMixin* clone() const override;

    CVylDeviceSpecList device;
    QCF::CLineSettingsConfig lineSettings;
    CVylScalarInteger retryTimeout;
    CVylScalarInteger inactivityTimeout;
};

class CTessarcConfig : public CVylKnownSparseMap {
public:
    CTessarcConfig();
    ~CTessarcConfig() override;

    static CTessarcConfig& instance();

    CTessarcConfig& operator=(const CTessarcConfig& other);
    CVylYamlMixin& operator=(const CVylYamlMixin& other) override;
    CVylYamlMixin* clone() const override;

    bool enabled() const;
    QCF::CGatesAndTriggers* getGatesAndTriggers() const;
    std::string getGate() const;
    std::string getOverrideServerIPAddr() const;
    std::string getOverrideServerTCPPort() const;
    int getMaxBufBytesToSvr() const;
    int getmaxBufBytesScanAvi() const;
    int getRetryTimeout() const;
    int getInactivityTimeout() const;
    const CVylDeviceSpecList* getDeviceSpecList() const;
    const QCF::CLineSettingsConfig* getLineSettings() const;

private:
    CVylScalarBool m_enabled;
    CNetworkSettings m_networkSettings;
    CSerialSettings m_serialSettings;
};
