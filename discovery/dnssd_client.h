// A thin seam over the dns_sd client library, so the mDNS provider can be
// driven by a scripted library in tests. Text crosses it as the library's
// raw UTF-8 bytes; decoding is the provider's job.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One reply of a browse.
struct DnsSdBrowseReply {
    uint32_t nFlags = 0;
    int32_t nError = 0;
    bool bHasName = false;  // the library may pass no name with an error
    std::string strName;
};

// The first reply of a resolve.
struct DnsSdResolveReply {
    int32_t nError = 0;
    std::string strFullName;    // escaped, e.g. "Office\032Laser._printer._tcp.local."
    std::string strHostTarget;  // with its trailing dot
    uint16_t nPortNetOrder = 0;
    std::string strTxt;  // raw TXT record
};

// One answer of a record query.
struct DnsSdRecordReply {
    int32_t nError = 0;
    uint16_t nType = 0;
    uint16_t nClass = 0;
    std::string strData;  // raw record data
};

// A running browse, resolve or query. Destroying it ends the operation
// (DNSServiceRefDeallocate).
class CDnsSdOperation {
public:
    virtual ~CDnsSdOperation() = default;
    // The descriptor that becomes readable when the library has input.
    virtual int GetFd() const = 0;
    // Reads one reply and runs its callback on the calling thread. Blocks
    // when nothing is pending: call it only when GetFd() polled readable.
    virtual int32_t ProcessResult() = 0;
};

class CDnsSdClient {
public:
    virtual ~CDnsSdClient() = default;

    // 0 when the DNS-SD service can be reached. Returns quickly either way.
    virtual int32_t CheckService() = 0;

    virtual int32_t Browse(const char* pszType, const char* pszDomain,
                           std::function<void(const DnsSdBrowseReply&)> fnReply,
                           std::unique_ptr<CDnsSdOperation>& pOperation) = 0;
    virtual int32_t Resolve(const char* pszName, const char* pszType, const char* pszDomain,
                            std::function<void(const DnsSdResolveReply&)> fnReply,
                            std::unique_ptr<CDnsSdOperation>& pOperation) = 0;
    virtual int32_t QueryRecord(const char* pszFullName, uint16_t nType, uint16_t nClass,
                                std::function<void(const DnsSdRecordReply&)> fnReply,
                                std::unique_ptr<CDnsSdOperation>& pOperation) = 0;
};

// The client over the system's dns_sd library (Avahi's compatibility layer).
// Its first construction keeps the library's compatibility warning off the
// terminal.
std::unique_ptr<CDnsSdClient> CreateSystemDnsSdClient();

// One TXT item as the library reads it.
struct DnsSdTxtItem {
    std::string strKey;
    std::string strValue;
    bool bHasValue = false;
};

// The items of a raw TXT record, in order, read with the library's TXT
// functions. An item the library cannot read (e.g. a key longer than the
// 255-byte key buffer) is left out.
std::vector<DnsSdTxtItem> ReadTxtItems(const std::string& strTxt);
