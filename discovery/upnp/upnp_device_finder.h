// A small synchronous UPnP device finder: SSDP search over GSSDP, the
// description documents fetched with libsoup and read with libxml2, all under
// hard bounds, so that nothing a device sends can hold a search past its
// window or make it buffer without limit.
//
// Everything runs on the calling thread, on a GLib main context of its own
// that is pushed as the thread's default before any GLib object is created
// and popped after the last one is released.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// One device, root or embedded. Texts are UTF-8 as the document gave them
// (libxml2 has already decoded and validated them), trimmed and cut to
// UPNP_MAX_FIELD_BYTES.
struct UPnPDevice {
    std::string strType;
    std::string strFriendlyName;
    std::string strUdn;
    std::string strModelUrl;     // this device's own; empty when it has none
    std::string strDocumentUrl;  // the LOCATION the description was read from
    std::string strManufacturer{};
    std::string strModelName{};
    std::string strSender{};  // the dotted IPv4 address the description was fetched from
    unsigned nMaxAge{0};      // seconds, from the answer's CACHE-CONTROL; 0 when it gave none
};

// Why a finder cannot run or a search failed (HRESULT-shaped, so they read
// like the rest of the trace's codes).
constexpr uint32_t UPNP_E_NO_INTERFACE = 0x800704CF;  // no usable IPv4 interface besides loopback
constexpr uint32_t UPNP_E_CANCELLED = 0x800704C7;     // the search was stopped
constexpr uint32_t UPNP_E_NO_CLIENT = 0x80004005;     // SSDP could not start on any interface
constexpr uint32_t UPNP_E_ERRNO_BASE = 0x80070000;    // | errno of a failed system call

constexpr size_t UPNP_MAX_FIELD_BYTES = 1024;
constexpr size_t UPNP_MAX_URL_BYTES = 2048;

struct UPnPFinderLimits {
    unsigned nMx = 3;  // seconds a device may wait before answering
    // The window: it may end once nothing is pending after 1 s + MX (the last
    // M-SEARCH goes out at 1 s), and ends at the latest here.
    std::chrono::milliseconds quietAfter{4100};
    std::chrono::milliseconds hardEnd{5000};
    std::chrono::milliseconds fetchDeadline{2000};  // whole request, not per read
    size_t nMaxDocumentBytes = 256 * 1024;
    unsigned nMaxConnections = 64;
    unsigned nMaxConnectionsPerHost = 4;
    unsigned nMaxFetches = 4096;           // per search: enough for every address of a /24 and more
    unsigned nMaxFetchesPerSender = 32;    // distinct URLs taken from one address
    unsigned nMaxDevices = 1024;           // per search
    unsigned nMaxDevicesPerDocument = 64;  // root and embedded together
    unsigned nMaxDepth = 8;                // nesting of deviceList
};

class CUPnPDeviceFinder {
public:
    explicit CUPnPDeviceFinder(const UPnPFinderLimits& limits = {});
    ~CUPnPDeviceFinder();
    CUPnPDeviceFinder(const CUPnPDeviceFinder&) = delete;
    CUPnPDeviceFinder& operator=(const CUPnPDeviceFinder&) = delete;

    // The availability test: 0 when SSDP can run on this machine (a usable
    // IPv4 interface other than loopback, and a UDP socket), else a code
    // saying why.
    static uint32_t CheckAvailable();

    // Searches for `strTarget` and returns every device found, each once (by
    // UPnPDeviceKey), in the order their documents arrived. 0 on success (also when
    // nothing was found), else a code; UPNP_E_CANCELLED after Stop().
    uint32_t FindByType(const std::string& strTarget, std::vector<UPnPDevice>& aDevices);

    // From any thread: ends a running search at once, and any later one.
    void Stop();

    // Called on the searching thread for each device the moment its document
    // is read, before FindByType returns it (set before the search).
    void SetDeviceCallback(std::function<void(const UPnPDevice&)> fnFound) { m_fnFound = std::move(fnFound); }

private:
    struct CSearch;
    bool StopAsked();
    bool RunSearch(CSearch& search);
    const UPnPFinderLimits m_limits;
    std::mutex m_mutex;  // guards the two below against Stop()
    bool m_bStop = false;
    void* m_pContext = nullptr;  // the running search's GMainContext
    std::function<void(const UPnPDevice&)> m_fnFound;
};

// --- The pieces of the finder that judge what the network sent ---

// Reads one description document. Appends its root and embedded devices that
// carry a type (friendly name and UDN may be empty), in document order; false
// (and nothing appended) when the document is not well-formed, has a DOCTYPE
// or holds no such device.
bool ParseUPnPDescription(std::string_view data, const std::string& strDocumentUrl,
                          std::vector<UPnPDevice>& aDevices, const UPnPFinderLimits& limits = {});

// What a search tells devices apart by: the UDN, or for a device without one,
// its document's URL and its position among the devices read from it.
std::string UPnPDeviceKey(const UPnPDevice& device, size_t nPosition);

// The URL to fetch an SSDP LOCATION from, so that the request only ever goes
// to the address that sent the answer: the LOCATION itself when its host is
// that address, the same port and path on the sender when its host is a name
// (`strHostHeader` then gets the Host to send), and empty (refused) for
// another address, IPv6, another scheme or a malformed URL.
std::string UPnPFetchUrl(std::string_view location, std::string_view sender, std::string& strHostHeader);

// The max-age of an SSDP CACHE-CONTROL header ("max-age=1800") in seconds,
// at most a day; 0 when there is none or it is no number.
unsigned SsdpMaxAge(const char* pszCacheControl);

// Trims ASCII white space and cuts to at most nMaxBytes without splitting a
// UTF-8 sequence.
std::string BoundUtf8(std::string_view text, size_t nMaxBytes);
