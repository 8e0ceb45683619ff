// A bounded WS-Discovery search for printers: a Probe for print devices on
// every up, multicast-capable interface (IPv4 239.255.255.250 and IPv6 ff02::c,
// port 3702), sent from ephemeral ports so that other WSD clients keep 3702;
// a Resolve for matches without transport addresses; each printer's metadata
// read over HTTP (WS-Transfer Get, libsoup), at most a few at once, each
// bounded in time and size, and only ever from the address that answered.
//
// Everything runs on the calling thread, on a GLib main context of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "wsd_messages.h"

// One device that answered, as far as it is known.
struct WsdDevice {
    std::string strEndpoint;              // its endpoint address ("urn:uuid:...")
    std::vector<std::string> aAddresses;  // each address it answered from, IPv4 first; "fe80::1%eth0"
    std::vector<std::string> aTypes;      // of its matches and its metadata
    WsdMetadata metadata;
    bool bMetadataRead = false;  // false: the Get failed, timed out or was never possible
    uint16_t nPort = 0;          // of the XAddr its metadata is asked at; 0 when it has none
};

struct WsdFinderLimits {
    // After the last Probe (the third, within 500 ms of the first): devices
    // answer within 500 ms (APP_MAX_DELAY), and the answer travels.
    std::chrono::milliseconds listenFor{550};
    std::chrono::milliseconds resolveBound{1000};
    unsigned nMaxResolves = 64;                  // per search
    std::chrono::milliseconds fetchBound{2000};  // the whole Get, not per read
    size_t nMaxDocumentBytes = 256 * 1024;
    unsigned nMaxFetches = 16;  // at once
    unsigned nMaxDevices = 1024;
};

constexpr uint32_t WSD_E_NO_INTERFACE = 0x800704CF;  // no up, multicast-capable interface but loopback
constexpr uint32_t WSD_E_CANCELLED = 0x800704C7;
constexpr uint32_t WSD_E_NO_SOCKET = 0x80004005;  // no interface took a socket

class CWsdFinder {
public:
    explicit CWsdFinder(const WsdFinderLimits& limits = {});
    ~CWsdFinder();
    CWsdFinder(const CWsdFinder&) = delete;
    CWsdFinder& operator=(const CWsdFinder&) = delete;

    // 0 when an interface can carry the search, else why not.
    static uint32_t CheckAvailable();

    // Searches until every answer is read or bounded; 0, or a code
    // (WSD_E_CANCELLED after Stop()).
    uint32_t Find();
    // From any thread: ends a running search at once, and any later one.
    void Stop();

    // On the searching thread, set before Find: each printer once, the
    // moment its metadata is read or given up on.
    void SetPrinterCallback(std::function<void(const WsdDevice&)> fn) { m_fnPrinter = std::move(fn); }
    // A printer (its endpoint) listed under strListed answered from strAddress
    // as well.
    void SetAddressCallback(std::function<void(const std::string& strEndpoint, const std::string& strListed,
                                               const std::string& strAddress)>
                                fn) {
        m_fnAddress = std::move(fn);
    }

private:
    struct CSearch;
    bool StopAsked();
    void SetContext(void* pContext);

    const WsdFinderLimits m_limits;
    std::mutex m_mutex;  // the two below, against Stop()
    bool m_bStop = false;
    void* m_pContext = nullptr;
    std::function<void(const WsdDevice&)> m_fnPrinter;
    std::function<void(const std::string&, const std::string&, const std::string&)> m_fnAddress;
};

// Per interface, whether the kernel routes WS-Discovery multicast out of it
// (asked by connect() on UDP sockets: nothing is sent).
struct WsdRoute {
    std::string strInterface;
    bool bIpv4 = false;  // 239.255.255.250:3702
    bool bIpv6 = false;  // ff02::c:3702
};
std::vector<WsdRoute> WsdMulticastRoutes();
