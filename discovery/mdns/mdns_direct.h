// mDNS straight from the wire, beside avahi-daemon: one-shot queries (RFC
// 6762 §5.1) from an ephemeral port to 224.0.0.251 and ff02::fb on every
// interface that can multicast. Responders answer such a query by unicast
// to that port (§6.7) and DNS-SD ones put the instance's SRV, TXT and
// address records in the same packet (RFC 6763 §12), so one query per type
// and interface lists a whole link in one round trip, whatever avahi's
// cache holds. Nothing is bound to 5353 and nothing is ever answered.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// One instance with everything a row needs.
struct MdnsDirectService {
    std::string strType;                  // as asked for, e.g. "_ipp._tcp"
    std::string strInstance;              // the instance label, unescaped (as avahi's browse gives it)
    std::string strHostTarget;            // "host.local." (escaped text, trailing dot)
    uint16_t nPort = 0;                   // host order
    std::string strTxt;                   // raw TXT data, as on the wire
    std::vector<std::string> aAddresses;  // "192.0.2.1", "fe80::1": IPv4 first
    unsigned nInterface = 0;              // where the PTR answer came in
};

// What an answer from the network may cost.
struct MdnsDirectLimits {
    size_t nPacketsPerSecond = 8000;  // read beyond that: dropped unparsed
    size_t nRecordsPerPacket = 512;   // the rest of a packet is not looked at
    size_t nInstances = 4096;         // per run, all types
    size_t nAddressesPerHost = 8;
    size_t nTxtBytes = 4096;  // a longer TXT leaves the instance to avahi
};

// The records read so far, by instance; a packet at a time. No sockets:
// fuzzed and unit-tested as it stands.
class CMdnsDirectStore {
public:
    CMdnsDirectStore(const std::vector<std::string>& aTypes, const MdnsDirectLimits& limits);
    ~CMdnsDirectStore();
    CMdnsDirectStore(const CMdnsDirectStore&) = delete;
    CMdnsDirectStore& operator=(const CMdnsDirectStore&) = delete;

    // One packet (read by ldns); false when it is no usable response. A
    // truncated one counts as what it holds: mDNS has no TCP to ask again
    // over, so what is missing is asked for by name (Missing).
    bool Read(const uint8_t* pData, size_t nSize, unsigned nInterface);
    // Instances complete since the last call, each once per run. One with
    // no IPv4 address waits for the run's last call (bLast): avahi-daemon
    // answers over IPv6 with AAAA records only, and its IPv4 answer, a
    // moment behind, holds the address the row should show.
    std::vector<MdnsDirectService> TakeComplete(bool bLast = false);
    // A query packet (wire form) for each type with as many known answers
    // (§7.1: the PTRs of instances complete) as nPackets packets hold, TC
    // set on all but the last (§7.2); per type, at least one packet.
    std::vector<std::vector<uint8_t>> Queries(const std::string& strType, size_t nPackets) const;
    // Packets asking by name what PTR answers left out (SRV and TXT of an
    // instance, A and AAAA of its host), on the interface they came from;
    // each name asked at most nTimes per run, at most nPackets packets.
    std::vector<std::vector<uint8_t>> Missing(unsigned nInterface, size_t nPackets, size_t nTimes);
    size_t GetInstanceCount() const { return m_instances.size(); }
    size_t GetCompleteCount() const { return m_nComplete; }
    // Records taken in so far that told something new: a packet that moves
    // it is a useful answer (the end waits for a quiet after the last).
    size_t GetTaken() const { return m_nTaken; }

private:
    struct Instance;
    void TakeRecords(void* pList, unsigned nInterface, int nPass, size_t& nBudget);
    void TakePtr(struct ldns_struct_rr* pRecord, unsigned nInterface);
    void TakeSrv(Instance& instance, const struct ldns_struct_rr* pRecord);
    std::vector<std::string> m_aTypes;
    MdnsDirectLimits m_limits;
    uint16_t m_nQueryId;                                           // every query of the run's
    std::map<std::string, std::unique_ptr<Instance>> m_instances;  // by lower-case full name
    std::map<std::string, std::vector<std::string>> m_hosts;       // lower-case host name: addresses
    std::map<std::string, size_t> m_asked;                         // name and type: times asked
    size_t m_nComplete = 0;
    size_t m_nTaken = 0;
};

// How the last run went, for traces and --diagnose.
struct MdnsDirectStats {
    size_t nQueries = 0;                // packets sent
    size_t nPacketsRead = 0;            // responses read (parsed or not)
    size_t nPacketsDropped = 0;         // over the rate, or unreadable
    size_t nServices = 0;               // handed over
    std::set<std::string> aResponders;  // source addresses that answered something usable
    int nReceiveBuffer = 0;             // SO_RCVBUF as the kernel granted it (IPv4 socket)
    std::chrono::steady_clock::duration took{};
};

struct MdnsDirectSettings {
    std::vector<std::string> aTypes;  // "_printer._tcp", ...
    // Queries go at these offsets from the start, the later ones with known
    // answers and with what the earlier answers lacked.
    std::vector<std::chrono::milliseconds> aRounds{
        std::chrono::milliseconds(0), std::chrono::milliseconds(100), std::chrono::milliseconds(300)};
    // Done this long after the last round and the last useful answer: beyond
    // §6's 20-120 ms delay of multicast answers (a legacy unicast one takes ~1 ms).
    std::chrono::milliseconds quiet{150};
    std::chrono::milliseconds bound{1500};  // the whole run, whatever arrives
    size_t nKnownAnswerPackets = 3;         // per type and interface per round
    size_t nMissingPackets = 2;             // per interface per round
    // Requested; the kernel doubles it for its bookkeeping. Root may pass
    // net.core.rmem_max (SO_RCVBUFFORCE), others get at most that.
    int nReceiveBuffer = 4 << 20;
    MdnsDirectLimits limits;
    // Interface indexes to send on; empty: every one that can multicast.
    std::vector<unsigned> aInterfaces;
};

class CMdnsDirectQuerier {
public:
    explicit CMdnsDirectQuerier(MdnsDirectSettings settings) : m_settings(std::move(settings)) {}
    // Queries and reads until done, the bound, or nStopFd readable; each
    // complete service goes to fnService on this thread. 0, or the errno of
    // a socket that could not be made (then nothing was sent). With
    // fnSettled, done calls it instead and reading goes on until the bound
    // or nEndFd: a responder that answers late is still heard while the
    // caller waits for others anyway.
    int Run(int nStopFd, const std::function<void(const MdnsDirectService&)>& fnService,
            const std::function<void()>& fnSettled = {}, int nEndFd = -1);
    const MdnsDirectStats& GetStats() const { return m_stats; }

private:
    MdnsDirectSettings m_settings;
    MdnsDirectStats m_stats;
};
