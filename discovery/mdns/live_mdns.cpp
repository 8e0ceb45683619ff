// mDNS in the live scan: one browse per service type, all at once; every
// instance resolved (with an address) the moment it is reported, on each
// interface and protocol it was seen on, up to a number in flight, each
// resolve bounded. A printer is listed as soon as a resolve gives it an
// IPv4 address, or an IPv6 one once none of its resolves can still give
// IPv4. Done when every browse has said AllForNow (or fell silent for a
// resolve bound) and every resolve has answered or reached its bound;
// however the search ends (also stopped, or the daemon gone), every
// instance with an address by then is listed. Under watch it goes on:
// browses stay open, a removal is told, each listed printer keeps one
// resolve open so that a changed record lists it again, an instance that
// no resolve could give an address is asked again later (on a large link a
// busy daemon lets hundreds of resolves reach their bound at once), and a
// daemon that went away is waited for and browsed again.
// Beside the browses, at the start of each search, a direct querier asks
// the link itself (one-shot queries): its answers list a printer the same
// way a resolve does, and once they stopped and avahi has reported nothing
// new for a while the search ends without waiting for AllForNow.
#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "conv_string.h"
#include "mdns_direct.h"
#include "mdns_method.h"
#include "mdns_responder_client.h"
#include "multicast_data_provider.h"
#include "stop_signal.h"
#include "trace_log.h"

namespace {

// How long the direct querier's answers are let gather before they are
// taken in (see TakeDirectAnswers).
constexpr auto DIRECT_SETTLE = std::chrono::milliseconds(10);
constexpr auto DIRECT_SETTLE_MAX = std::chrono::milliseconds(30);

using Clock = std::chrono::steady_clock;

// The address of a resolve as the row shows it: IPv4 dotted as the window
// writes it, IPv6 in its short form with the interface's name for a
// link-local one ("fe80::1%eth0"). Empty when the text is no address.
std::u16string AddressText(const std::string& strAddress, int32_t nInterface) {
    unsigned char aBytes[16] = {};
    if (inet_pton(AF_INET, strAddress.c_str(), aBytes) == 1) {
        return MdnsAddressText(std::string_view(reinterpret_cast<const char*>(aBytes), 4));
    }
    if (inet_pton(AF_INET6, strAddress.c_str(), aBytes) != 1) return {};
    char szText[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET6, aBytes, szText, sizeof szText) == nullptr) return {};
    std::string strText = szText;
    const bool bLinkLocal = aBytes[0] == 0xFE && (aBytes[1] & 0xC0) == 0x80;
    if (bLinkLocal && nInterface > 0) {
        char szName[IF_NAMESIZE] = {};
        const bool bNamed = if_indextoname(static_cast<unsigned>(nInterface), szName) != nullptr;
        // Appended in two steps: GCC 12 at -O3 takes "%" + std::string for an
        // overlapping copy (-Wrestrict) and fails the release build.
        strText += '%';
        strText += bNamed ? std::string(szName) : std::to_string(nInterface);
    }
    return Utf8ToUtf16(strText);
}

class CLiveMdnsSource : public CLiveSource {
public:
    CLiveMdnsSource(const LiveScanSettings& settings, std::unique_ptr<CDnsSdClient> pClient)
        : m_settings(settings), m_pClient(std::move(pClient)) {}

    std::u16string GetName() const override { return std::u16string(MDNS_METHOD.strName); }
    void Stop() override {
        m_bStopAsked = true;
        WakeSearch();
    }
    void WakeSearch() { m_stop.Raise(); }
    int32_t Run(CLiveRowSink& sink) override;
    size_t GetMdnsInstances() const override { return m_instances.size(); }

private:
    // Whether the search goes on: the daemon check and the browses' first
    // reply decide it together, whichever comes first.
    enum class Start { STARTING, BROWSING, UNAVAILABLE };
    struct Browses {
        std::vector<std::unique_ptr<CDnsSdOperation>> aOperations;
        std::deque<bool> aAllForNow;  // a deque: the flags stay where they are while more are added
        size_t nFailed = 0;           // started, then failed to run
        int32_t nFirstError = 0;
    };

    // 0 once a browse runs, else the error of the first that did not start.
    // Every instance with an address is listed when it returns, however the
    // search ended.
    int32_t Search(CLiveRowSink& sink);
    int32_t StartBrowses(CDnsSdSession& session, Browses& browses);
    // Until every browse and resolve is done, the stop or the daemon gone.
    void WaitUntilDone(CDnsSdSession& session, CLiveRowSink& sink, Browses& browses);
    // bRead: the last wait read all that had arrived (silence can be judged).
    bool StillBrowsing(Browses& browses, bool bRead);
    // The one end of a search: what is pending ends, and each instance with
    // an address is listed (IPv6 too, when its IPv4 never came).
    void ListWhatIsKnown(CLiveRowSink& sink);
    // One instance (name and type): the row it will be listed as, and how
    // many of its resolves are still open.
    struct Instance {
        std::string strName;
        std::string strType;
        ScanRow row;
        bool bDescribed = false;  // name, URL, model, host, port, TXT taken from a reply
        bool bListed = false;
        FindingHandle hFinding = 0;  // once listed
        // Each resolve's (interface, protocol) current address: the row's
        // addresses are these, replaced as they answer, never accumulated.
        std::map<std::pair<int32_t, int32_t>, std::u16string> addresses;
        bool bWatched = false;  // under watch: one of its resolves stays open
        bool bGone = false;     // under watch: removed; forgotten once no resolve of it is open
        size_t nOpen = 0;
    };
    struct Resolve {
        Instance* pInstance = nullptr;
        int32_t nInterface = -1;
        int32_t nProtocol = DNSSD_PROTO_UNSPEC;
        bool bRetry = false;  // the daemon dropped the first
        std::unique_ptr<CDnsSdOperation> pOperation;
        Clock::time_point tDeadline{};
        bool bAnswered = false;
        bool bWatching = false;  // settled, and kept open for later answers
        DnsSdResolveReply reply;
        Clock::duration askedLater{};  // under watch: the pause before its last ask again
    };

    void OnBrowseReply(const DnsSdBrowseReply& reply, const std::string& strType, bool& bAllForNow,
                       Browses& browses);
    // Under watch: a removed instance, once none of its resolves is open.
    void EraseIfGone(Instance& instance);
    void Queue(Instance& instance, int32_t nInterface, int32_t nProtocol, bool bRetry);
    // Under watch: a resolve that gave no address is asked again after a
    // pause, twice as long each time up to the interval, while the instance
    // is still seen there (a printer switched off costs one resolve an interval).
    void AskLater(const Resolve& resolve);
    void QueueLaterAsks();
    void StartResolves(CDnsSdSession& session);
    // How many resolves the daemon is given at once, after an answer or a refusal.
    void AdaptResolveLimit(const Resolve& resolve);
    // The answered and timed-out resolves end; their instances listed when ready.
    // bEnding: every one still open ends now.
    void SettleResolves(CLiveRowSink& sink, bool bEnding = false);
    // The answer's address the instance's for that resolve; true when its addresses changed.
    bool TakeAnswer(Instance& instance, const DnsSdResolveReply& reply, const Resolve& resolve);
    static FindingKey KeyOf(const Instance& instance) {
        return {PROVIDER_KIND_MDNS, Utf8ToUtf16(instance.strType) + u'\n' + Utf8ToUtf16(instance.strName),
                true};
    }
    // Under watch, after the daemon came back: the findings of the search
    // before that this one has not listed again, withdrawn once it settled.
    void WithdrawUnseen();
    void ListWhenReady(CLiveRowSink& sink, Instance& instance);
    // Under watch: the instance left (seen nowhere any more), a later answer
    // of its kept resolve, and the wait for a daemon that went away.
    void OnRemoved(const DnsSdBrowseReply& reply, const std::string& strType);
    void ForgetGone();
    void OnLaterAnswer(Resolve& resolve, const DnsSdResolveReply& reply);
    bool WaitForDaemon();
    // The direct querier on a thread of its own; its services are taken in
    // on the search's thread (TakeDirectAnswer), as resolves are.
    void StartDirect();
    void TakeDirectAnswers(CLiveRowSink& sink);
    void TakeDirectAnswer(CLiveRowSink& sink, const MdnsDirectService& service);
    void EndDirect(CLiveRowSink& sink);
    // Not under watch: direct answers came and stopped, and what avahi
    // reported besides is listed or resolving; none new for a while.
    bool DirectAgrees() const;
    std::vector<std::string> BrowsedTypes() const;

    const LiveScanSettings m_settings;
    std::unique_ptr<CDnsSdClient> m_pClient;
    CStopSignal m_stop;  // raised by Stop, and when the daemon is found unavailable
    std::atomic<bool> m_bStopAsked{false};
    std::atomic<Start> m_start{Start::STARTING};
    Clock::time_point m_tLastBrowseReply{};
    Clock::time_point m_tLastItem{};    // the last instance a browse reported
    Clock::time_point m_tLastAnswer{};  // the last resolve answered
    size_t m_nResolveLimit = m_settings.nMaxResolves;
    std::map<std::pair<std::string, std::string>, Instance> m_instances;
    std::set<std::tuple<Instance*, int32_t, int32_t>> m_seen;  // (instance, interface, protocol) asked for
    std::deque<std::unique_ptr<Resolve>> m_queue;              // not started yet, in the order reported
    std::list<std::unique_ptr<Resolve>> m_inFlight;
    std::list<std::unique_ptr<Resolve>> m_watching;    // under watch: one per listed instance
    std::deque<std::unique_ptr<Resolve>> m_later;      // under watch: asked again at tDeadline, in that order
    std::vector<Instance*> m_gone;                     // removed in a callback, forgotten after it
    std::map<std::u16string, FindingHandle> m_before;  // by key: listed before the daemon went
    CLiveRowSink* m_pSink = nullptr;
    struct Direct {
        std::mutex mutex;
        std::vector<MdnsDirectService> aHeard;  // not taken in yet
        Clock::time_point tFirstHeard{};        // when aHeard last became non-empty
        Clock::time_point tLastHeard{};         // when aHeard last grew
        std::thread thread;
        std::atomic<bool> bRunning{false};  // its answers still come
        std::atomic<bool> bReading{false};  // settled, still hears late ones
        std::unique_ptr<CStopSignal> pEnd;  // ends the reading at the search's end
        size_t nTaken = 0;
    } m_direct;
};

void CLiveMdnsSource::OnBrowseReply(const DnsSdBrowseReply& reply, const std::string& strType,
                                    bool& bAllForNow, Browses& browses) {
    m_tLastBrowseReply = Clock::now();
    if (!reply.bHasName) {
        // AllForNow, or the browse failed: either way it has no more to say.
        if (reply.nError != 0 && !bAllForNow) {
            ++browses.nFailed;
            if (browses.nFirstError == 0) browses.nFirstError = reply.nError;
        }
        bAllForNow = true;
        if (reply.nError != 0) return;
    }
    Start expected = Start::STARTING;
    m_start.compare_exchange_strong(expected, Start::BROWSING);
    if (!reply.bHasName) return;
    if (reply.nError != 0) return;
    if ((reply.nFlags & DNSSD_BROWSE_ADDED) == 0) {
        if (m_settings.bWatch) OnRemoved(reply, strType);
        return;
    }
    Instance& instance = m_instances[{reply.strName, strType}];
    if (instance.strName.empty()) {
        instance.strName = reply.strName;
        instance.strType = strType;
    }
    instance.bGone = false;
    // Seen over IPv4 and IPv6, or on two interfaces: one resolve each, one row.
    if (!m_seen.insert({&instance, reply.nInterface, reply.nProtocol}).second) return;
    // Listed by the direct path: nothing to resolve (under watch one
    // resolve stays open for changes).
    if (instance.bListed && !m_settings.bWatch) return;
    m_tLastItem = m_tLastBrowseReply;
    ++instance.nOpen;
    Queue(instance, reply.nInterface, reply.nProtocol, false);
}

void CLiveMdnsSource::Queue(Instance& instance, int32_t nInterface, int32_t nProtocol, bool bRetry) {
    auto pResolve = std::make_unique<Resolve>();
    pResolve->pInstance = &instance;
    pResolve->nInterface = nInterface;
    pResolve->nProtocol = nProtocol;
    pResolve->bRetry = bRetry;
    m_queue.push_back(std::move(pResolve));
}

void CLiveMdnsSource::StartResolves(CDnsSdSession& session) {
    // All at once, up to the limit: the bus client holds back the calls past
    // what the bus takes awaiting a reply.
    while (!m_queue.empty() && m_inFlight.size() < m_nResolveLimit) {
        std::unique_ptr<Resolve> pResolve = std::move(m_queue.front());
        m_queue.pop_front();
        Resolve* p = pResolve.get();
        p->tDeadline = Clock::now() + m_settings.resolveBound;
        auto fnReply = [this, p](const DnsSdResolveReply& reply) {
            if (p->bWatching) {
                OnLaterAnswer(*p, reply);
            } else if (!p->bAnswered) {  // (settled ones are let go of: no later call)
                p->bAnswered = true;
                p->reply = reply;
            }
        };
        const int32_t nError =
            session.ResolveWithAddress(p->pInstance->strName.c_str(), p->pInstance->strType.c_str(), "local",
                                       p->nInterface, p->nProtocol, fnReply, p->pOperation);
        if (nError != 0) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS live: Could not resolve '%s'. (%d)",
                         Utf8ToUtf16(p->pInstance->strName), nError);
            p->bAnswered = true;
            p->reply.nError = nError;
        }
        m_inFlight.push_back(std::move(pResolve));
    }
}

void CLiveMdnsSource::SettleResolves(CLiveRowSink& sink, bool bEnding) {
    const Clock::time_point tNow = Clock::now();
    for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
        Resolve& resolve = **it;
        if (!bEnding && !resolve.bAnswered && resolve.pOperation != nullptr) {
            // Held back by the bus client (paced) it is given up at its
            // bound, never sent; once sent it has its whole bound from then.
            const Clock::time_point tSent = resolve.pOperation->SentAt();
            if (tSent != Clock::time_point::max() && tSent != Clock::time_point::min())
                resolve.tDeadline = std::max(resolve.tDeadline, tSent + m_settings.resolveBound);
        }
        if (!resolve.bAnswered && tNow < resolve.tDeadline) {
            ++it;
            continue;
        }
        AdaptResolveLimit(resolve);
        Instance& instance = *resolve.pInstance;
        const bool bAnswer = resolve.bAnswered && resolve.reply.nError == 0;
        if (bAnswer) m_tLastAnswer = tNow;
        // Dropped by the daemon: refused (its limits, or its bus's), failed,
        // or left unanswered while it kept answering others (on a large link
        // its answers come in waves, a second apart: it asks again after 1 s).
        // Once more, last.
        const bool bDropped = resolve.bAnswered ? !bAnswer && tNow < resolve.tDeadline
                                                : tNow < m_tLastAnswer + m_settings.resolveBound / 2;
        if (bDropped && !resolve.bRetry) {
            Queue(instance, resolve.nInterface, resolve.nProtocol, true);
            m_queue.back()->askedLater = resolve.askedLater;
            it = m_inFlight.erase(it);
            continue;
        }
        if (m_settings.bWatch && !bAnswer && instance.row.aAddresses.empty()) {
            AskLater(resolve);
            it = m_inFlight.erase(it);
            continue;
        }
        --instance.nOpen;
        if (bAnswer && TakeAnswer(instance, resolve.reply, resolve) && instance.hFinding != 0)
            sink.SetAddresses(instance.hFinding, instance.row.aAddresses);
        ListWhenReady(sink, instance);
        if (m_settings.bWatch && bAnswer && instance.hFinding != 0 && !instance.bWatched) {
            instance.bWatched = true;
            resolve.bWatching = true;
            m_watching.push_back(std::move(*it));
        } else {
            resolve.pOperation.reset();
        }
        it = m_inFlight.erase(it);
        EraseIfGone(instance);
    }
}

void CLiveMdnsSource::AskLater(const Resolve& resolve) {
    const Clock::duration pause =
        resolve.askedLater == Clock::duration::zero()
            ? Clock::duration(m_settings.resolveBound)
            : std::min<Clock::duration>(2 * resolve.askedLater, m_settings.watchInterval);
    auto pLater = std::make_unique<Resolve>();
    pLater->pInstance = resolve.pInstance;
    pLater->nInterface = resolve.nInterface;
    pLater->nProtocol = resolve.nProtocol;
    pLater->askedLater = pause;
    pLater->tDeadline = Clock::now() + pause;
    const auto itAt = std::upper_bound(m_later.begin(), m_later.end(), pLater->tDeadline,
                                       [](Clock::time_point t, const auto& p) { return t < p->tDeadline; });
    m_later.insert(itAt, std::move(pLater));
}

void CLiveMdnsSource::QueueLaterAsks() {
    const Clock::time_point tNow = Clock::now();
    while (!m_later.empty() && m_later.front()->tDeadline <= tNow) {
        std::unique_ptr<Resolve> pResolve = std::move(m_later.front());
        m_later.pop_front();
        Instance& instance = *pResolve->pInstance;
        // Removed meanwhile, or listed through another interface or protocol: no more asking.
        if (m_seen.count({&instance, pResolve->nInterface, pResolve->nProtocol}) == 0 || instance.bListed) {
            --instance.nOpen;
            EraseIfGone(instance);
            continue;
        }
        pResolve->bRetry = false;
        m_queue.push_back(std::move(pResolve));
    }
}

void CLiveMdnsSource::AdaptResolveLimit(const Resolve& resolve) {
    // One more for each answer, so the daemon gets work as fast as it
    // answers (with many at once it asks for many records in one packet);
    // a quarter less for each refusal. A resolve that nobody answers (a
    // printer switched off) says nothing of the daemon.
    if (!resolve.bAnswered) return;
    if (resolve.reply.nError == 0) {
        m_nResolveLimit = std::min(m_nResolveLimit + 1, m_settings.nMostResolves);
    } else {
        m_nResolveLimit = std::max(m_nResolveLimit - m_nResolveLimit / 4, m_settings.nFewestResolves);
    }
}

bool CLiveMdnsSource::TakeAnswer(Instance& instance, const DnsSdResolveReply& reply, const Resolve& resolve) {
    const std::u16string strAddress =
        AddressText(reply.strAddress, reply.nInterface >= 0 ? reply.nInterface : resolve.nInterface);
    if (strAddress.empty()) return false;
    ScanRow& row = instance.row;
    if (!instance.bDescribed) {
        instance.bDescribed = true;
        const std::vector<DnsSdTxtItem> aItems = ReadTxtItems(reply.strTxt);
        row.strName = Utf8ToUtf16(instance.strName);
        row.strUrl = MdnsAdminUrl(aItems, reply.strHostTarget);
        row.nKind = PROVIDER_KIND_MDNS;
        row.strType = Utf8ToUtf16(instance.strType);
        row.strModel = MdnsModel(aItems);
        row.strLocation = MdnsLocation(aItems);
        std::string strHost = reply.strHostTarget;
        if (!strHost.empty() && strHost.back() == '.') strHost.pop_back();
        row.strHostTarget = Utf8ToUtf16(strHost);
        row.nPort = ntohs(reply.nPortNetOrder);
        row.aTxtItems = aItems;
        row.aServices = {{row.strType, row.strName, row.strHostTarget, row.nPort, aItems}};
        const DnsSdTxtItem* pUuid = FindTxtItem(row, "UUID");
        if (pUuid && pUuid->bHasValue) row.strId = UuidIdentity(Utf8ToUtf16(pUuid->strValue));
    }
    instance.addresses[{resolve.nInterface, resolve.nProtocol}] = strAddress;
    std::vector<std::u16string> aAddresses;
    for (const auto& [key, str] : instance.addresses) InsertAddress(aAddresses, str);
    if (aAddresses == row.aAddresses) return false;
    row.aAddresses = std::move(aAddresses);
    row.strIpAddress = row.aAddresses.front();
    return true;
}

void CLiveMdnsSource::OnRemoved(const DnsSdBrowseReply& reply, const std::string& strType) {
    auto it = m_instances.find({reply.strName, strType});
    if (it == m_instances.end()) return;
    Instance& instance = it->second;
    m_seen.erase({&instance, reply.nInterface, reply.nProtocol});
    // Still seen on another interface or protocol: still there, without
    // what was resolved here.
    auto itSeen = m_seen.lower_bound({&instance, INT_MIN, INT_MIN});
    if (itSeen != m_seen.end() && std::get<0>(*itSeen) == &instance) {
        if (instance.addresses.erase({reply.nInterface, reply.nProtocol}) == 0 || instance.addresses.empty())
            return;
        instance.row.aAddresses.clear();
        for (const auto& [key, str] : instance.addresses) InsertAddress(instance.row.aAddresses, str);
        instance.row.strIpAddress = instance.row.aAddresses.front();
        if (instance.hFinding != 0) m_pSink->SetAddresses(instance.hFinding, instance.row.aAddresses);
        return;
    }
    // avahi removes an instance when its goodbye comes, or when its records
    // expire: this type's finding ends, not the printer's other ones.
    if (instance.hFinding != 0) m_pSink->Withdraw(instance.hFinding, LiveRemoveReason::GOODBYE);
    if (std::find(m_gone.begin(), m_gone.end(), &instance) == m_gone.end()) m_gone.push_back(&instance);
}

void CLiveMdnsSource::ForgetGone() {
    for (Instance* pInstance : m_gone) {
        m_watching.remove_if([pInstance](const auto& pResolve) { return pResolve->pInstance == pInstance; });
        // New again when it comes back; its open resolves still count.
        pInstance->row = ScanRow{};
        pInstance->bDescribed = pInstance->bListed = pInstance->bWatched = false;
        pInstance->hFinding = 0;
        pInstance->addresses.clear();
        // (Unless it came back in the same replies.)
        auto itSeen = m_seen.lower_bound({pInstance, INT_MIN, INT_MIN});
        pInstance->bGone = itSeen == m_seen.end() || std::get<0>(*itSeen) != pInstance;
        EraseIfGone(*pInstance);
    }
    m_gone.clear();
}

void CLiveMdnsSource::EraseIfGone(Instance& instance) {
    // Under watch every name ever seen would stay: only what is listed now,
    // or still being resolved, is kept.
    if (!instance.bGone || instance.nOpen > 0) return;
    m_instances.erase({instance.strName, instance.strType});
}

void CLiveMdnsSource::OnLaterAnswer(Resolve& resolve, const DnsSdResolveReply& reply) {
    Instance& instance = *resolve.pInstance;
    if (reply.nError != 0 || instance.hFinding == 0) return;  // gone quiet: the liveness check judges
    instance.bDescribed = false;
    TakeAnswer(instance, reply, resolve);
    m_pSink->Report(KeyOf(instance), instance.row);
}

bool CLiveMdnsSource::WaitForDaemon() {
    while (!m_bStopAsked) {
        if (m_stop.WaitFor(std::chrono::seconds(1)) || m_bStopAsked) break;
        if (m_pClient->CheckServiceUntilStop(m_stop.Fd(), m_settings.resolveBound) == 0) return true;
    }
    return false;
}

void CLiveMdnsSource::ListWhenReady(CLiveRowSink& sink, Instance& instance) {
    ScanRow& row = instance.row;
    if (instance.bListed || row.aAddresses.empty()) return;
    // A less preferred address waits while a resolve may still bring a better one.
    if (PreferredAddressRank(row.aAddresses.front()) != 0 && instance.nOpen > 0) return;
    instance.bListed = true;
    row.strIpAddress = row.aAddresses.front();
    const FindingKey key = KeyOf(instance);
    instance.hFinding = sink.Report(key, row);
    m_before.erase(key.strKey);
}

void CLiveMdnsSource::WithdrawUnseen() {
    for (const auto& [strKey, hFinding] : m_before) m_pSink->Withdraw(hFinding, LiveRemoveReason::EXPIRED);
    m_before.clear();
}

int32_t CLiveMdnsSource::Run(CLiveRowSink& sink) {
    if (!m_stop.IsValid()) return DNSSD_ERR_UNKNOWN;
    // The dns_sd library resolves no address: only avahi's D-Bus client can.
    if (std::string_view(MdnsBackendName()) == "dnssd") return DNSSD_ERR_UNSUPPORTED;
    // Whether avahi-daemon answers is asked beside the search, not ahead of
    // it: a daemon that does not ends the search at once, unless a browse
    // has answered already (it wins over a check that failed on a slow
    // machine). The check gets a browse's bound: a slow daemon that answers
    // is no unreachable one.
    std::atomic<int32_t> nService{0};
    std::thread checker([this, &nService] {
        nService = m_pClient->CheckServiceUntilStop(m_stop.Fd(), m_settings.resolveBound);
        Start expected = Start::STARTING;
        if (nService != 0 && m_start.compare_exchange_strong(expected, Start::UNAVAILABLE)) WakeSearch();
    });
    m_pSink = &sink;
    const int32_t nBrowse = Search(sink);
    checker.join();
    if (m_start == Start::UNAVAILABLE) return nService;
    // Under watch a search ends only when stopped or when the daemon went:
    // then its printers stay listed, and it is browsed again once back.
    while (m_settings.bWatch && !m_bStopAsked && nBrowse == 0) {
        sink.DaemonLost(GetName(), true);
        if (!WaitForDaemon()) break;
        sink.DaemonLost(GetName(), false);
        Search(sink);
    }
    return m_bStopAsked ? 0 : nBrowse;
}

void CLiveMdnsSource::StartDirect() {
    if (!m_settings.bMdnsDirect) return;
    m_direct.bRunning = true;
    m_direct.bReading = true;
    m_direct.pEnd = std::make_unique<CStopSignal>();
    m_direct.thread = std::thread([this, nEndFd = m_direct.pEnd->Fd()] {
        MdnsDirectSettings settings;
        settings.aTypes = BrowsedTypes();
        CMdnsDirectQuerier querier(std::move(settings));
        const int nError = querier.Run(
            m_stop.Fd(),
            [this](const MdnsDirectService& service) {
                std::lock_guard<std::mutex> lock(m_direct.mutex);
                m_direct.tLastHeard = Clock::now();
                if (m_direct.aHeard.empty()) m_direct.tFirstHeard = m_direct.tLastHeard;
                m_direct.aHeard.push_back(service);
            },
            [this] { m_direct.bRunning = false; }, nEndFd);
        if (nError != 0) TraceMessage(TRACE_ERROR, nullptr, u"MDNS direct: no socket. (%d)", nError);
        m_direct.bRunning = false;
        m_direct.bReading = false;
    });
}

void CLiveMdnsSource::TakeDirectAnswers(CLiveRowSink& sink) {
    std::vector<MdnsDirectService> aHeard;
    {
        std::lock_guard<std::mutex> lock(m_direct.mutex);
        // A printer answers each type's query in a packet of its own, a
        // moment apart: taken while they still come, its row would be listed
        // with whichever type came first, a web address that changes from
        // one scan to the next. A busy link is taken in all the same.
        const Clock::time_point tNow = Clock::now();
        if (m_direct.bRunning && tNow < m_direct.tLastHeard + DIRECT_SETTLE &&
            tNow < m_direct.tFirstHeard + DIRECT_SETTLE_MAX)
            return;
        aHeard.swap(m_direct.aHeard);
    }
    // The type that leads a printer's row first, so that its line is the
    // row as it stays: "_printer._tcp", then "_pdl-datastream._tcp", the IPP types.
    std::stable_sort(aHeard.begin(), aHeard.end(),
                     [](const MdnsDirectService& a, const MdnsDirectService& b) {
                         return std::tie(a.strInstance, b.strType) < std::tie(b.strInstance, a.strType);
                     });
    for (const MdnsDirectService& service : aHeard) TakeDirectAnswer(sink, service);
    m_direct.nTaken += aHeard.size();
}

// A service the direct querier heard, taken as avahi's resolve of it would
// be: the same instance (name and type), so the same row.
void CLiveMdnsSource::TakeDirectAnswer(CLiveRowSink& sink, const MdnsDirectService& service) {
    Instance& instance = m_instances[{service.strInstance, service.strType}];
    if (instance.strName.empty()) {
        instance.strName = service.strInstance;
        instance.strType = service.strType;
    }
    if (instance.bListed) return;
    DnsSdResolveReply reply;
    reply.strHostTarget = service.strHostTarget;
    reply.nPortNetOrder = htons(service.nPort);
    reply.strTxt = service.strTxt;
    reply.nInterface = static_cast<int32_t>(service.nInterface);
    // Keyed as avahi's resolve on that interface and protocol would be, so
    // that under watch avahi's later answer replaces this one.
    Resolve resolve;
    resolve.nInterface = reply.nInterface;
    for (const std::string& strAddress : service.aAddresses) {
        reply.strAddress = strAddress;
        resolve.nProtocol = strAddress.find(':') == std::string::npos ? DNSSD_PROTO_INET : DNSSD_PROTO_INET6;
        TakeAnswer(instance, reply, resolve);
    }
    // Without IPv4 (avahi-daemon answers over IPv6 with AAAA records only)
    // it waits for avahi's resolve, or the search's end, as a resolve's
    // less preferred address does: the row shows the address it would.
    const std::vector<std::u16string>& aAddresses = instance.row.aAddresses;
    if (!aAddresses.empty() && PreferredAddressRank(aAddresses.front()) == 0) ListWhenReady(sink, instance);
}

void CLiveMdnsSource::EndDirect(CLiveRowSink& sink) {
    if (m_direct.pEnd) m_direct.pEnd->Raise();
    if (m_direct.thread.joinable()) m_direct.thread.join();
    if (m_start != Start::UNAVAILABLE) TakeDirectAnswers(sink);
}

bool CLiveMdnsSource::DirectAgrees() const {
    if (m_settings.bWatch || m_direct.bRunning || m_direct.nTaken == 0 || !m_queue.empty()) return false;
    for (const auto& pResolve : m_inFlight)
        if (!pResolve->pInstance->bListed) return false;
    // One the direct path heard without IPv4 waits for avahi's resolve.
    for (const auto& [key, instance] : m_instances)
        if (!instance.bListed && !instance.row.aAddresses.empty()) return false;
    return Clock::now() >= m_tLastItem + m_settings.browseQuiet;
}

int32_t CLiveMdnsSource::Search(CLiveRowSink& sink) {
    StartDirect();
    std::unique_ptr<CDnsSdSession> pSession = m_pClient->OpenSession(m_stop.Fd());
    Browses browses;
    const int32_t nError = StartBrowses(*pSession, browses);
    // Silence counts from here: each start may have taken its bound.
    m_tLastBrowseReply = Clock::now();
    if (!browses.aOperations.empty() && m_start != Start::UNAVAILABLE) {
        WaitUntilDone(*pSession, sink, browses);
    }
    EndDirect(sink);
    ListWhatIsKnown(sink);
    if (m_settings.bWatch) {
        // A search after the daemon came back starts afresh; what it lists
        // again keeps its finding.
        for (const auto& [key, instance] : m_instances) {
            if (instance.hFinding != 0) m_before.emplace(KeyOf(instance).strKey, instance.hFinding);
        }
        m_watching.clear();
        m_seen.clear();
        m_instances.clear();
    }
    if (browses.aOperations.empty()) return nError;
    // Every browse started and then failed before any told something: none ran.
    const bool bNoneRan = browses.nFailed == browses.aOperations.size() && m_start == Start::STARTING;
    return bNoneRan && !m_bStopAsked ? browses.nFirstError : 0;
}

std::vector<std::string> CLiveMdnsSource::BrowsedTypes() const {
    std::vector<std::string> aTypes{"_printer._tcp", "_pdl-datastream._tcp"};
    if (m_settings.bIpp) {
        aTypes.push_back("_ipp._tcp");
        aTypes.push_back("_ipps._tcp");
    }
    return aTypes;
}

int32_t CLiveMdnsSource::StartBrowses(CDnsSdSession& session, Browses& browses) {
    int32_t nFirstError = 0;
    for (const std::string& strType : BrowsedTypes()) {
        bool& bAllForNow = browses.aAllForNow.emplace_back(false);
        std::unique_ptr<CDnsSdOperation> pBrowse;
        const int32_t nError = session.BrowseEach(
            strType.c_str(), "local",
            [this, strType, &bAllForNow, &browses](const DnsSdBrowseReply& reply) {
                OnBrowseReply(reply, strType, bAllForNow, browses);
            },
            pBrowse);
        if (nError != 0) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS live: Could not browse '%s'. (%d)",
                         Utf8ToUtf16(strType), nError);
            if (nFirstError == 0) nFirstError = nError;
            bAllForNow = true;
            continue;
        }
        browses.aOperations.push_back(std::move(pBrowse));
    }
    return nFirstError;
}

bool CLiveMdnsSource::StillBrowsing(Browses& browses, bool bRead) {
    // AllForNow comes on a timer: on a large network instances still come
    // after it, until they stop for a while.
    bool bBrowsing = Clock::now() < m_tLastItem + m_settings.browseQuiet;
    for (bool b : browses.aAllForNow) bBrowsing = bBrowsing || !b;
    // A daemon that stopped answering ends the browses after a bound, judged
    // only once what had arrived has been read.
    if (bBrowsing && bRead && Clock::now() >= m_tLastBrowseReply + m_settings.resolveBound) {
        TraceMessage(TRACE_ERROR, nullptr, u"MDNS live: No AllForNow within %d ms.",
                     static_cast<int>(m_settings.resolveBound.count()));
        for (bool& b : browses.aAllForNow) b = true;
        return false;
    }
    return bBrowsing;
}

void CLiveMdnsSource::WaitUntilDone(CDnsSdSession& session, CLiveRowSink& sink, Browses& browses) {
    bool bRead = false;  // the last wait found nothing more to read
    for (;;) {
        // Settled first: a queue left waiting with nothing in flight would
        // wait for no deadline.
        SettleResolves(sink);
        TakeDirectAnswers(sink);
        QueueLaterAsks();
        StartResolves(session);
        const bool bBrowsing = StillBrowsing(browses, bRead);
        if (!bBrowsing && m_queue.empty() && m_inFlight.empty()) {
            if (!m_settings.bWatch) return;
            WithdrawUnseen();
        }
        if (DirectAgrees()) return;
        Clock::time_point tWake =
            bBrowsing ? m_tLastBrowseReply + m_settings.resolveBound : Clock::now() + std::chrono::hours(1);
        // The quiet after the last instance ends the browses: wake for it.
        const Clock::time_point tQuiet = m_tLastItem + m_settings.browseQuiet;
        if (bBrowsing && tQuiet > Clock::now()) tWake = std::min(tWake, tQuiet);
        for (const auto& pResolve : m_inFlight) tWake = std::min(tWake, pResolve->tDeadline);
        if (!m_later.empty()) tWake = std::min(tWake, m_later.front()->tDeadline);
        // The direct querier's answers are looked for often while it runs;
        // once it is done, the quiet that DirectAgrees waits for.
        if (m_direct.bRunning) tWake = std::min(tWake, Clock::now() + std::chrono::milliseconds(20));
        // A slow printer's late answer, while the search waits for avahi.
        if (m_direct.bReading) tWake = std::min(tWake, Clock::now() + std::chrono::milliseconds(50));
        if (m_direct.nTaken > 0 && tQuiet > Clock::now()) tWake = std::min(tWake, tQuiet);
        int32_t nError = 0;
        const DnsSdWait result = session.Wait(tWake, nError);
        bRead = result == DnsSdWait::TIMEOUT;
        ForgetGone();
        if (result == DnsSdWait::READY || result == DnsSdWait::TIMEOUT) continue;
        if (result != DnsSdWait::STOPPED) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS live: The daemon stopped answering. (%d)", nError);
        }
        return;
    }
}

void CLiveMdnsSource::ListWhatIsKnown(CLiveRowSink& sink) {
    // What the resolves have told already still counts; the rest never will.
    for (const auto& pResolve : m_inFlight) pResolve->tDeadline = Clock::time_point::min();
    SettleResolves(sink, true);
    for (const auto& pResolve : m_queue) --pResolve->pInstance->nOpen;
    m_queue.clear();
    for (const auto& pResolve : m_later) --pResolve->pInstance->nOpen;
    m_later.clear();
    for (auto& [key, instance] : m_instances) ListWhenReady(sink, instance);
}

}  // namespace

std::unique_ptr<CLiveSource> CreateLiveMdnsSource(const LiveScanSettings& settings,
                                                  std::unique_ptr<CDnsSdClient> pClient) {
    return std::make_unique<CLiveMdnsSource>(settings, std::move(pClient));
}
