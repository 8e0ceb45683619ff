// The seam between the mDNS provider and the DNS-SD client it talks to, so
// the provider can be driven by a scripted client in tests. Text crosses it
// as raw UTF-8 bytes; decoding is the provider's job. Two clients exist:
// avahi-daemon's own D-Bus interface (the default) and the dns_sd library
// (a configure-time choice, HVL_MDNS_BACKEND=dnssd).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Error codes, numbered as the dns_sd library numbers them, whichever
// client is in use: they reach the trace and the provider's status.
constexpr int32_t DNSSD_ERR_UNKNOWN = -65537;
constexpr int32_t DNSSD_ERR_NO_SUCH_NAME = -65538;
constexpr int32_t DNSSD_ERR_BAD_PARAM = -65540;
constexpr int32_t DNSSD_ERR_UNSUPPORTED = -65544;
constexpr int32_t DNSSD_ERR_SERVICE_NOT_RUNNING = -65563;
constexpr int32_t DNSSD_ERR_TIMEOUT = -65568;

// Browse reply flags.
constexpr uint32_t DNSSD_BROWSE_ADDED = 0x2;
// BrowseEach only, without a name: the service has told all it knows for now.
constexpr uint32_t DNSSD_BROWSE_ALL_FOR_NOW = 0x10000;

// Address protocols, numbered as avahi numbers them.
constexpr int32_t DNSSD_PROTO_UNSPEC = -1;
constexpr int32_t DNSSD_PROTO_INET = 0;
constexpr int32_t DNSSD_PROTO_INET6 = 1;

// One reply of a browse.
struct DnsSdBrowseReply {
    uint32_t nFlags = 0;  // DNSSD_BROWSE_ADDED: the instance was added; 0: it went away
    int32_t nError = 0;
    bool bHasName = false;  // a failure may come without a name
    std::string strName;
    // BrowseEach only: where the instance was seen (-1: not said).
    int32_t nInterface = -1;
    int32_t nProtocol = DNSSD_PROTO_UNSPEC;
};

// The first reply of a resolve.
struct DnsSdResolveReply {
    int32_t nError = 0;
    std::string strFullName;    // escaped, e.g. "Office\032Laser._printer._tcp.local."
    std::string strHostTarget;  // with its trailing dot
    uint16_t nPortNetOrder = 0;
    std::string strTxt;  // raw TXT record
    // ResolveWithAddress only: the host's address as text ("192.0.2.1",
    // "fe80::1", without a zone), its protocol and the interface it was seen on.
    std::string strAddress{};
    int32_t nAddressProtocol = DNSSD_PROTO_UNSPEC;
    int32_t nInterface = -1;
};

// One answer of a record query.
struct DnsSdRecordReply {
    int32_t nError = 0;
    uint16_t nType = 0;
    uint16_t nClass = 0;
    std::string strData;  // raw record data
};

// A running browse, resolve or query. Destroying it ends the operation; its
// callback never runs afterwards.
class CDnsSdOperation {
public:
    virtual ~CDnsSdOperation() = default;
    // When its request went to the service; max() while the client still
    // holds it back (paced), min() for a client that sends at once.
    virtual std::chrono::steady_clock::time_point SentAt() const {
        return std::chrono::steady_clock::time_point::min();
    }
};

// What ended a CDnsSdSession::Wait.
enum class DnsSdWait {
    READY,           // replies were handled (or the client woke without one): look again
    TIMEOUT,         // the deadline passed
    STOPPED,         // the search's stop descriptor became readable
    WAIT_FAILED,     // the readiness wait itself failed; the code is an errno
    PROCESS_FAILED,  // reading a reply failed; the code is the client's
    LOST,            // the DNS-SD service went away: no operation of this session answers again
};

// The DNS-SD operations of one search. Made, used and destroyed on the
// search thread; every callback runs inside Wait, on that thread. Many
// operations may be open at once: one Wait serves them all.
class CDnsSdSession {
public:
    using Clock = std::chrono::steady_clock;
    using BrowseFn = std::function<void(const DnsSdBrowseReply&)>;
    using ResolveFn = std::function<void(const DnsSdResolveReply&)>;
    using RecordFn = std::function<void(const DnsSdRecordReply&)>;

    virtual ~CDnsSdSession() = default;

    // Returns 0 once the browse runs (this may wait, bounded and stoppable),
    // else the error; its replies then come through fnReply.
    virtual int32_t Browse(const char* pszType, const char* pszDomain, BrowseFn fnReply,
                           std::unique_ptr<CDnsSdOperation>& pOperation) = 0;
    // Return at once: 0 when the request is under way (a failure found later
    // comes as a reply with its error), else the error.
    virtual int32_t Resolve(const char* pszName, const char* pszType, const char* pszDomain,
                            ResolveFn fnReply, std::unique_ptr<CDnsSdOperation>& pOperation) = 0;
    virtual int32_t QueryRecord(const char* pszFullName, uint16_t nType, uint16_t nClass, RecordFn fnReply,
                                std::unique_ptr<CDnsSdOperation>& pOperation) = 0;

    // For hvl-scan's live scan; a client that cannot do them refuses with
    // DNSSD_ERR_UNSUPPORTED. BrowseEach is Browse with the interface and
    // protocol of each reply, and one nameless DNSSD_BROWSE_ALL_FOR_NOW
    // reply once the service has told what it knows. ResolveWithAddress
    // resolves the instance seen on that interface and protocol, and its
    // reply carries an address of the host of that protocol (either for
    // DNSSD_PROTO_UNSPEC).
    virtual int32_t BrowseEach(const char* /*pszType*/, const char* /*pszDomain*/, BrowseFn /*fnReply*/,
                               std::unique_ptr<CDnsSdOperation>& /*pOperation*/) {
        return DNSSD_ERR_UNSUPPORTED;
    }
    virtual int32_t ResolveWithAddress(const char* /*pszName*/, const char* /*pszType*/,
                                       const char* /*pszDomain*/, int32_t /*nInterface*/,
                                       int32_t /*nProtocol*/, ResolveFn /*fnReply*/,
                                       std::unique_ptr<CDnsSdOperation>& /*pOperation*/) {
        return DNSSD_ERR_UNSUPPORTED;
    }

    // Waits for replies of any open operation and runs their callbacks,
    // until at least one was handled, tDeadline passes or the search is
    // stopped. nError is set for WAIT_FAILED, PROCESS_FAILED and LOST.
    // Callbacks must not destroy operations.
    virtual DnsSdWait Wait(Clock::time_point tDeadline, int32_t& nError) = 0;
};

class CDnsSdClient {
public:
    virtual ~CDnsSdClient() = default;

    // 0 when the DNS-SD service can be reached. Runs on the window's thread:
    // returns within 500 ms whatever the service does.
    virtual int32_t CheckService() = 0;
    // The same off the window's thread: within bound, ended at once when
    // hStopFd becomes readable (then not 0).
    virtual int32_t CheckServiceUntilStop(int /*hStopFd*/, std::chrono::milliseconds /*bound*/) {
        return CheckService();
    }

    // A session for one search, on the calling thread. hStopFd becomes
    // readable when the search is stopped; every wait of the session ends
    // then. Never fails: a client that cannot reach its service makes a
    // session whose operations fail to start.
    virtual std::unique_ptr<CDnsSdSession> OpenSession(int hStopFd) = 0;
};

// The client this build uses: avahi-daemon over D-Bus, or the dns_sd library.
std::unique_ptr<CDnsSdClient> CreateSystemDnsSdClient();

// "dbus" or "dnssd": which client CreateSystemDnsSdClient makes.
const char* MdnsBackendName();

// One TXT item.
struct DnsSdTxtItem {
    std::string strKey;
    std::string strValue;
    bool bHasValue = false;
};

// The items of a raw TXT record, in order: the key is the bytes up to the
// first '=', the value the bytes after it; an item without '=' has no value.
// An item whose key would not fit a 255-byte key buffer with its end is left
// out, as the dns_sd library's reader leaves it; reading stops at an item
// that runs past the end of the record.
std::vector<DnsSdTxtItem> ReadTxtItems(const std::string& strTxt);
