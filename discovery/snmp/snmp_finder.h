// Finds printers over SNMP: one GetRequest for hrDeviceType.1 to the
// broadcast address of every IPv4 interface that is up (or to each address
// given, unicast, a bounded number in flight), then one request for the
// identity of each host that answers hrDevicePrinter. Everything goes from
// one UDP socket of its own (net-snmp cannot broadcast), every request
// bounded; nothing waits on a host past its bound.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "snmp_message.h"
#include "stop_signal.h"

namespace snmp_oids {
extern const SnmpOid HR_DEVICE_TYPE_1;
extern const SnmpOid HR_DEVICE_PRINTER;
extern const SnmpOid SYS_DESCR, SYS_NAME, SYS_LOCATION;
extern const SnmpOid HR_DEVICE_DESCR_1, PRT_GENERAL_PRINTER_NAME_1, PRT_GENERAL_SERIAL_NUMBER_1;
extern const SnmpOid PPM_PRINTER_IEEE1284_DEVICE_ID_1;
}  // namespace snmp_oids

struct SnmpPrinter {
    std::string strAddress;    // dotted IPv4, the address that answered
    std::string strCommunity;  // the one it answered
    // OctetStrings as the printer sent them (empty when it had none).
    std::string strSysName, strSysLocation, strSysDescr, strDeviceDescr, strPrinterName, strSerial,
        strDeviceId;
};

struct SnmpFinderSettings {
    std::vector<std::string> aCommunities{"public"};
    // Asked unicast, in this order (host byte order). Empty: broadcast.
    std::vector<uint32_t> aAddresses;
    std::chrono::milliseconds requestBound{1000};  // each request; its one retry at half of it
    std::chrono::milliseconds silence{1500};       // the broadcast is done after this without an answer
    size_t nMaxInFlight = 64;
    uint16_t nPort = 161;
};

// The IPv4 broadcast address of each interface that is up (loopback left
// out), host byte order, with the interface's name.
struct SnmpBroadcastTarget {
    std::string strInterface;
    uint32_t nAddress = 0;
};
std::vector<SnmpBroadcastTarget> SnmpBroadcastTargets();

// "192.0.2.0/24": every host address of it (network and broadcast addresses
// left out below /31). False for anything else or a prefix shorter than /22.
bool ExpandSubnet(const std::string& strCidr, std::vector<uint32_t>& aAddresses);

// The make and model of an IEEE 1284 device ID ("MFG:Acme;MDL:Laser 5;"):
// MFG and MDL (or MANUFACTURER and MODEL) as "Acme Laser 5", the model alone
// when it starts with the maker; empty without a model.
std::u16string SnmpDeviceIdModel(std::string_view strDeviceId);

class CSnmpFinder {
public:
    explicit CSnmpFinder(SnmpFinderSettings settings);
    ~CSnmpFinder();
    CSnmpFinder(const CSnmpFinder&) = delete;
    CSnmpFinder& operator=(const CSnmpFinder&) = delete;

    // Searches until done or stopped, fnPrinter called on this thread for
    // each printer once its identity is in (or its request used its bound).
    // 0, or an errno value when the search cannot start at all (no socket,
    // no interface to broadcast on).
    int32_t Run(const std::function<void(const SnmpPrinter&)>& fnPrinter);
    // From any thread: Run returns at once.
    void Stop();

private:
    const SnmpFinderSettings m_settings;
    CStopSignal m_stop;
};
