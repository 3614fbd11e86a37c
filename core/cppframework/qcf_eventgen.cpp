#include "qcf_eventgen.h"

#include "qcf_debug.h"

CVylEventGenerator g_eventGen(true, true, true);

CVylEventGenerator::CVylEventGenerator(bool useDbus, bool useDels, bool useSystemBus)
    : m_useDels(useDels), m_useDbus(useDbus), m_useSystemBus(useSystemBus) {}

CVylEventGenerator::~CVylEventGenerator() = default;

void CVylEventGenerator::devices_DeviceLockSuccess(uint32_t dpi, pid_t processPID, int severity) {
    QCF::logDebug("event DeviceLockSuccess: dpi=0x%08x pid=%d severity=%d", dpi,
                  static_cast<int>(processPID), severity);
}

void CVylEventGenerator::devices_DeviceLockFail(uint32_t dpi, pid_t processPID, int severity) {
    QCF::logDebug("event DeviceLockFail: dpi=0x%08x pid=%d severity=%d", dpi,
                  static_cast<int>(processPID), severity);
}

void CVylEventGenerator::devices_DeviceUnlock(uint32_t dpi, pid_t processPID, int severity) {
    QCF::logDebug("event DeviceUnlock: dpi=0x%08x pid=%d severity=%d", dpi,
                  static_cast<int>(processPID), severity);
}
