// Concurrent, bounded DNS queries over c-ares: each query has its own bound
// from the moment it is sent, at most a set number are in flight, and a
// stop descriptor ends them all. Replies over 512 bytes come back over TCP
// (c-ares retries a truncated UDP reply there by itself).
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ares_channeldata;

class CDnsQueries {
public:
    using Clock = std::chrono::steady_clock;
    // status is an ARES_* code (ARES_ETIMEOUT also when the bound passed);
    // the answer is the whole reply message, valid during the call only.
    using AnswerFn = std::function<void(int nStatus, const unsigned char* pAnswer, int nLength)>;

    // strServers: "" for the resolver configuration (/etc/resolv.conf),
    // else c-ares's "host[:port],..." list.
    CDnsQueries(std::chrono::milliseconds bound, size_t nMaxInFlight, const std::string& strServers);
    ~CDnsQueries();
    CDnsQueries(const CDnsQueries&) = delete;
    CDnsQueries& operator=(const CDnsQueries&) = delete;

    // Empty when the channel works, else why not.
    const std::string& InitError() const { return m_strInitError; }
    // The resolver configuration's search domains.
    std::vector<std::string> SearchDomains() const;

    // Queues a query (class IN) of an absolute name; its answer comes once,
    // inside Run. May be called from an answer.
    void Query(const std::string& strName, int nType, AnswerFn fnAnswer);

    // Sends and waits until every query has its answer (or passed its
    // bound), or hStopFd (-1: none) becomes readable: false then.
    bool Run(int hStopFd);
    // True once a query reached a DNS server: answered, or sent and left
    // unanswered. False while every one failed to leave (no server, none
    // reachable).
    bool ReachedServer() const { return m_bReachedServer; }

private:
    struct CPending;
    static void OnAnswer(void* pArg, int nStatus, int nTimeouts, unsigned char* pAnswer, int nLength);
    void StartQueued();
    void ExpireOverdue();
    int WaitAndProcess(int hStopFd);

    ares_channeldata* m_pChannel = nullptr;
    std::string m_strInitError;
    const std::chrono::milliseconds m_bound;
    const size_t m_nMaxInFlight;
    std::deque<std::shared_ptr<CPending>> m_aQueued;
    std::vector<std::shared_ptr<CPending>> m_aInFlight;
    bool m_bReachedServer = false;
};

// Short text of a c-ares status for a person: "NXDOMAIN", "SERVFAIL",
// "no answer within 2000 ms"...
std::string DnsStatusText(int nStatus, std::chrono::milliseconds bound);

// The targets of the PTR records in the answer section of a reply, in
// presentation form; other records (a CNAME on the way) are passed over.
// False when the message is malformed.
bool ReadPtrTargets(const unsigned char* pAnswer, int nLength, std::vector<std::string>& aTargets);

// The addresses of the A (nType 1) or AAAA (28) records of a reply, as text,
// at most 16. A link-local IPv6 address names no interface, so no one who
// reads it from DNS can reach it: those are left out, and counted in
// nLinkLocal. Returns an ARES_* status.
int ReadAddressRecords(int nType, const unsigned char* pAnswer, int nLength,
                       std::vector<std::string>& aAddresses, int& nLinkLocal);
