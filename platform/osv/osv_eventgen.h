// The platform event generator: one operation per gateway happening, each filing the happening in
// the shared content segment, broadcasting it as a D-Bus signal and storing it as an event, in
// that order. Nothing is opened at construction: the segment, the bus and the event source are
// opened on first use, so a generator may be a static object built before main. Any thread may
// call the operations; they report nothing to the caller, failures go to the system log.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include <giomm/dbusconnection.h>

#include "delsbase.h"
#include "osv.h"

class CVylEventGenerator {
public:
    // useDels: store events; useDbus: broadcast signals; useSystemBus: the system bus rather than
    // the session bus (QCF_SESSION_BUS in the environment selects the session bus regardless).
    CVylEventGenerator(bool useDels, bool useDbus, bool useSystemBus);
    // Drains the event source, flushes the bus and unmaps the segment.
    virtual ~CVylEventGenerator();
    CVylEventGenerator(const CVylEventGenerator&) = delete;
    CVylEventGenerator& operator=(const CVylEventGenerator&) = delete;

    // Opens the bus; a failure disables broadcasting for the rest of the generator's life.
    void initDbus();
    void disableDbus();
    // Waits until every signal sent so far has left the process.
    void flushDbus();

    // The operations are virtual so that a test can record what a component announces.

    // ---- WAN ----
    virtual void wan_ConnectionEstablished(unsigned cost, unsigned dpi, DelsSeverity severity);
    virtual void wan_ConnectionLost(unsigned dpi, DelsSeverity severity);
    virtual void wan_ConnectionActivated(unsigned cost, unsigned dpi, DelsSeverity severity);
    virtual void wan_ConnectionDeactivated(unsigned dpi, DelsSeverity severity);
    virtual void wan_ConnectionIPv4Address(unsigned addr, unsigned dpi, const char* ipAddrString,
                                           DelsSeverity severity);
    virtual void wan_WirelessSignalStrength(double dbm, unsigned dpi, double snr,
                                            DelsSeverity severity);
    virtual void wan_LinkState(unsigned dpi, unsigned linkState, const char* lsString,
                               DelsSeverity severity);
    virtual void wan_DeadGatewayDetect(unsigned dpi, DelsSeverity severity);

    // ---- processes ----
    virtual void process_DeviceConfigConflictWarning(unsigned matchCount, unsigned processPID,
                                                     DelsSeverity severity);
    virtual void process_WatchdogRegistration(const char* processName, unsigned processPID,
                                              DelsSeverity severity);
    virtual void process_WatchdogDeregistration(unsigned processPID, DelsSeverity severity);
    virtual void process_DeadProcessRestart(const char* processName, unsigned processPID,
                                            DelsSeverity severity);

    // ---- devices ----
    virtual void devices_DevicePresence(const char* devNode, const char* deviceDescription,
                                        unsigned dpi, DelsSeverity severity);
    virtual void devices_DeviceAbsence(const char* devNode, const char* deviceDescription,
                                       unsigned dpi, DelsSeverity severity);
    virtual void devices_DeviceForceAbsence(const char* devNode, const char* deviceDescription,
                                            unsigned dpi, DelsSeverity severity);
    virtual void devices_WanDeviceDetailGsm(unsigned dpi, const char* friendlyName,
                                            const char* iccid, const char* imei, const char* imsi,
                                            const char* msisdn, DelsSeverity severity);
    virtual void devices_WanDeviceDetailCdma(unsigned dpi, const char* esn,
                                             const char* friendlyName, const char* iccid,
                                             const char* imei, const char* imsi, const char* meid,
                                             DelsSeverity severity);
    virtual void devices_WanDeviceDetailWifi(const char* bssid, unsigned dpi,
                                             const char* friendlyName, DelsSeverity severity);
    virtual void devices_WanDeviceDetailWimax(unsigned dpi, const char* friendlyName,
                                              DelsSeverity severity);
    virtual void devices_WanDeviceDetailEthernet(unsigned dpi, const char* friendlyName,
                                                 DelsSeverity severity);
    virtual void devices_WanDeviceDetailUnknown(unsigned dpi, const char* friendlyName,
                                                DelsSeverity severity);
    virtual void devices_DeviceLockSuccess(unsigned dpi, unsigned processPID,
                                           DelsSeverity severity);
    // Stored as message 285, apart from the lock success.
    virtual void devices_DeviceLockFail(unsigned dpi, unsigned processPID, DelsSeverity severity);
    virtual void devices_DeviceUnlock(unsigned dpi, unsigned processPID, DelsSeverity severity);
    virtual void devices_DevicePresenceNoBus(const char* devNode, unsigned dpi,
                                             const char* reservedString, DelsSeverity severity);
    virtual void devices_DevicePresenceUsb(const char* devNode, const char* reservedString,
                                           const char* productString, const char* manufString,
                                           const char* serialNoString, unsigned dpi,
                                           unsigned idProd, unsigned idVendor,
                                           DelsSeverity severity);
    virtual void devices_DevicePresencePciOrCardbus(const char* devNode, const char* reservedString,
                                                    const char* productString,
                                                    const char* manufString, unsigned dpi,
                                                    unsigned deviceClass, unsigned idVendor,
                                                    unsigned idProd, DelsSeverity severity);
    virtual void devices_DevicePresencePcmcia(unsigned idProd, const char* devNode, unsigned dpi,
                                              const char* reservedString, unsigned idVendor,
                                              const char* productString, DelsSeverity severity);
    virtual void devices_SDKModemIndex(unsigned dpi, unsigned sdkModemIndex);

    // ---- Bluetooth ----
    virtual void bluetooth_nodeConnected(const char* bdaddr, unsigned short connHandle,
                                         unsigned dpi, unsigned hciOrdinal, DelsSeverity severity);
    virtual void bluetooth_nodeDisconnected(const char* bdaddr, unsigned short connHandle,
                                            unsigned dpi, unsigned hciOrdinal,
                                            DelsSeverity severity);

    // ---- platform ----
    virtual void platform_IgnitionStateReport(bool ignitionState, unsigned timeRemaining,
                                              DelsSeverity severity);

    // ---- internal GPS ----
    virtual void position_InternalGpsLocation(double lat, double lon, DelsSeverity severity);
    virtual void position_InternalGpsSpeed(unsigned mph, DelsSeverity severity);
    virtual void position_InternalGpsFixStatus(
        GpsFixStatusWordAntennaFault antennaFault, GpsFixStatusWordFixDimension fixDimension,
        bool gpsFixStatus, GpsFixStatusWordPositionalDilutionOfPrecisionCheck pdopCheck,
        GpsFixStatusWordNumSatInView satellitesInViewCount,
        GpsFixStatusWordNumSatUsable satellitesUsableCount, DelsSeverity severity);
    virtual void position_InternalGpsAccuracy(float accuracy, DelsSeverity severity);
    virtual void position_InternalGpsSBAS(unsigned sbasCorrection, unsigned sbasEn,
                                          DelsSeverity severity);

    // ---- VPN ----
    virtual void vpn_AddressUpdate(unsigned addr, DelsSeverity severity);
    virtual void vpn_ConnectionStatus(bool up, DelsSeverity severity);

    // ---- navigation sources ----
    virtual void navigation_LocationFix3D(double latitudeDegrees, double longitudeDegrees,
                                          double altitudeMeters, const char* sourceName,
                                          unsigned confidence);
    virtual void navigation_SpeedHeading2D(double speedMetersPerHour2D, double headingDegreesTrue,
                                           const char* sourceName, unsigned confidence);
    virtual void navigation_SBASStatus(unsigned sbasCorrection, unsigned sbasEn,
                                       const char* sourceName);
    virtual void navigation_BestNavigationSBAS(unsigned sbasCorrection, unsigned sbasEn);
    virtual void navigation_Accuracy(double accuracyMeters, const char* sourceName);
    virtual void navigation_BestAccuracy(double accuracyMeters);
    virtual void navigation_NavigationSourceStatus(const char* sourceName, unsigned confidence,
                                                   const char* status);
    virtual void navigation_GPSNavigationSourceStatus(const char* sourceName, const char* style,
                                                      unsigned status);
    virtual void navigation_BestLocationFix3D(double latitudeDegrees, double longitudeDegrees,
                                              double altitudeMeters);
    virtual void navigation_BestSpeedHeading2D(double speedMetersPerHour2D,
                                               double headingDegreesTrue);

private:
    enum ESignalGroup : int;

    // Files `record`, then runs `signals` (which calls broadcast) and stores what `event`
    // builds, as far as the channels are on and the segment left their bits in the mask.
    template <class TRecord, class TSignals, class TEvent>
    void announce(TRecord& record, TSignals signals, TEvent event);
    template <class TRecord, class TSignals> void announce(TRecord& record, TSignals signals);
    template <class TRecord, class TBody>
    void announceBusPresence(TRecord& record, const char* member, TBody body);
    template <class TRecord>
    void announceNamedDetail(TRecord& record, const char* member, WANLinkClassficationCodes code);
    void broadcast(ESignalGroup group, const char* member, GVariant* body);
    void store(const CDelsEvent& event);
    // Opened on first use; null when unavailable.
    SOsvContent* segment();
    CDelsEventSource* source();
    Glib::RefPtr<Gio::DBus::Connection> connection();

    std::atomic<bool> m_useDels;
    std::atomic<bool> m_useDbus;
    bool m_useSystemBus;
    std::unique_ptr<CDelsEventSource> m_delsSource;
    SOsvContent* m_osv = nullptr;
    Glib::RefPtr<Gio::DBus::Connection> m_dbusConnection;
    // Guards the first openings and the connection.
    std::recursive_mutex m_openLock;
    bool m_osvTried = false;
};
