#include "scan_serve.h"

#include <glib.h>

#include <cstdio>
#include <functional>

#include "conv_string.h"
#include "scan_output.h"
#include "scan_status.h"
#include "web_config.h"

// resources/serve/page.html, put in the binary by the build.
extern "C" const char hvl_serve_page[];
extern "C" const char hvl_serve_page_end[];

void CServedWatch::OnEvent(const WatchEvent& event, const PrinterStatus* pStatus) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pList = std::make_shared<ServedList>(*m_pList);
    ++m_pList->events[event.nKind == WatchEventKind::ADD      ? "add"
                      : event.nKind == WatchEventKind::REMOVE ? "remove"
                                                              : "change"];
    ApplyWatchEvent(*m_pList, event, pStatus);
}

void CServedWatch::OnStatus(const std::u16string& strId, const PrinterStatus& status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!FindServedById(*m_pList, strId)) return;
    m_pList = std::make_shared<ServedList>(*m_pList);
    FindServedById(*m_pList, strId)->pStatus = std::make_shared<const PrinterStatus>(status);
}

void CServedWatch::OnRows(const std::vector<ScanRow>& aRows) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pList = std::make_shared<ServedList>(*m_pList);
    for (const ScanRow& row : aRows) {
        ServedPrinter* pPrinter = FindServedById(*m_pList, ScanRowId(row));
        if (pPrinter && pPrinter->pRow->tLastSeen != row.tLastSeen)
            pPrinter->pRow = std::make_shared<const ScanRow>(row);
    }
    m_pList->bReady = ++m_nRowsCalls >= 2;
}

void CServedWatch::OnMethod(const std::u16string& strMethod, bool bUp) {
    const DiscoveryMethod* pMethod = FindMethodByName(strMethod);
    if (!pMethod) pMethod = FindMethodBySource(strMethod);
    const std::string strSource = Utf16ToUtf8(pMethod ? std::u16string(pMethod->strSource) : strMethod);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pList = std::make_shared<ServedList>(*m_pList);
    m_pList->methodsUp[strSource] = bUp;
}

void CServedWatch::OnSearch(const std::string& strSource, std::chrono::steady_clock::duration took) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pList = std::make_shared<ServedList>(*m_pList);
    m_pList->searchSeconds[strSource] = std::chrono::duration<double>(took).count();
}

std::shared_ptr<const ServedList> CServedWatch::Get() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pList;
}

namespace {

// "'sha256-...'": what the page's Content-Security-Policy lets run, its
// own script and style and nothing else.
std::string HashSource(const std::string& strPage, const std::string& strTag) {
    const size_t nStart = strPage.find('>', strPage.find("<" + strTag)) + 1;
    const std::string strText = strPage.substr(nStart, strPage.find("</" + strTag, nStart) - nStart);
    GChecksum* pChecksum = g_checksum_new(G_CHECKSUM_SHA256);
    g_checksum_update(pChecksum, reinterpret_cast<const guchar*>(strText.data()), strText.size());
    guint8 aDigest[32];
    gsize nDigest = sizeof aDigest;
    g_checksum_get_digest(pChecksum, aDigest, &nDigest);
    g_checksum_free(pChecksum);
    gchar* pszBase64 = g_base64_encode(aDigest, nDigest);
    const std::string strSource = std::string("'sha256-") + pszBase64 + "'";
    g_free(pszBase64);
    return strSource;
}

HttpReply PageReply() {
    static const std::string s_strPage(hvl_serve_page, hvl_serve_page_end);
    static const std::string s_strPolicy = "default-src 'none'; script-src " +
                                           HashSource(s_strPage, "script") + "; style-src " +
                                           HashSource(s_strPage, "style") +
                                           "; connect-src 'self'; base-uri 'none'; form-action 'none'; "
                                           "frame-ancestors 'none'";
    return {200, "text/html; charset=utf-8", s_strPage, {{"Content-Security-Policy", s_strPolicy}}};
}

// The --json array of the listed rows, their statuses with --status.
HttpReply PrintersReply(const ScanOptions& args, const ServedList& list) {
    std::unordered_map<std::u16string, PrinterStatus> statuses;
    std::vector<ScanRow> aRows;
    for (const ServedPrinter& printer : list.aPrinters) {
        aRows.push_back(*printer.pRow);
        if (printer.pStatus) statuses.emplace(printer.pRow->strIpAddress, *printer.pStatus);
    }
    std::vector<OutputColumn> aColumns = BaseColumns();
    for (OutputColumn& column : SeenColumns(false)) aColumns.push_back(std::move(column));
    if (!args.aDomains.empty()) aColumns.push_back(DomainColumn());
    aColumns.push_back(UuidColumn());
    for (OutputColumn& column : StatusColumns(list.bStatus ? &statuses : nullptr))
        aColumns.push_back(std::move(column));
    return {200, "application/json", JsonDocument(aRows, aColumns)};
}

// Each snapshot's bodies, rendered once on the server's thread (its only
// user) and shared by every request until the next snapshot.
class CBodies {
public:
    const std::string& Get(const std::shared_ptr<const ServedList>& pList, const std::string& strKind,
                           const std::function<std::string()>& fnRender) {
        if (pList != m_pList) {
            m_pList = pList;
            m_bodies.clear();
        }
        auto it = m_bodies.find(strKind);
        if (it == m_bodies.end()) it = m_bodies.emplace(strKind, fnRender()).first;
        return it->second;
    }

private:
    std::shared_ptr<const ServedList> m_pList;
    std::map<std::string, std::string> m_bodies;
};

// bPrinters false: the watch's own figures alone (its self-scrape).
HttpReply MetricsReply(const HttpRequest& request, const std::shared_ptr<const ServedList>& pList,
                       CBodies& bodies, bool bPrinters) {
    const ServedList& list = *pList;
    // Prometheus asks for OpenMetrics first when it can read it.
    const bool bOpenMetrics = AcceptsType(request.strAccept, "application/openmetrics-text");
    const auto it = request.params.find("target");
    const std::u16string strTarget = it == request.params.end() ? u"" : Utf8ToUtf16(it->second);
    if (it != request.params.end() && !FindServedPrinter(list, strTarget))
        return {404, "text/plain; charset=utf-8", "No such printer is listed\n"};
    std::string strBody;
    if (it != request.params.end()) {
        strBody = PrinterMetricsText(list, bOpenMetrics, &strTarget);
    } else {
        if (bPrinters)
            strBody = bodies.Get(pList, bOpenMetrics ? "openmetrics" : "metrics",
                                 [&] { return PrinterMetricsText(list, bOpenMetrics, nullptr); });
        strBody += WatchMetricsText(list, bOpenMetrics, HVL_VERSION);  // the process' figures are of now
    }
    if (bOpenMetrics) strBody += "# EOF\n";
    return {200,
            bOpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                         : "text/plain; version=0.0.4; charset=utf-8",
            std::move(strBody)};
}

}  // namespace

std::unique_ptr<CHttpServe> StartServe(const ScanOptions& args, const CServedWatch& served) {
    HttpServeAccess access;
    std::string strWhy;
    if (!args.strServeConfig.empty() && !ReadWebConfig(args.strServeConfig, access, strWhy)) {
        std::fprintf(stderr, "hvl-scan: error: --serve-config %s: %s\n", args.strServeConfig.c_str(),
                     strWhy.c_str());
        return nullptr;
    }
    access.aHosts = args.aServeHosts;
    auto pBodies = std::make_shared<CBodies>();
    std::map<std::string, HttpRoute> routes{
        {"/", [](const HttpRequest&) { return PageReply(); }},
        {"/printers",
         [&args, &served, pBodies](const HttpRequest&) {
             const auto pList = served.Get();
             return HttpReply{200, "application/json", pBodies->Get(pList, "printers", [&] {
                                  return PrintersReply(args, *pList).strBody;
                              })};
         }},
        {"/metrics",
         [&served, pBodies](const HttpRequest& request) {
             return MetricsReply(request, served.Get(), *pBodies, true);
         }},
        {"/watch/metrics",
         [&served, pBodies](const HttpRequest& request) {
             return MetricsReply(request, served.Get(), *pBodies, false);
         }},
        {"/targets",
         [&served, pBodies](const HttpRequest&) {
             const auto pList = served.Get();
             return HttpReply{200, "application/json",
                              pBodies->Get(pList, "targets", [&] { return TargetsJson(*pList); })};
         }},
        {"/-/healthy",
         [](const HttpRequest&) {
             return HttpReply{200, "text/plain; charset=utf-8", "Healthy\n"};
         }},
        {"/-/ready",
         [&served](const HttpRequest&) {
             return served.Get()->bReady ? HttpReply{200, "text/plain; charset=utf-8", "Ready\n"}
                                         : HttpReply{503, "text/plain; charset=utf-8", "Not ready\n"};
         }},
    };
    auto pServer = std::make_unique<CHttpServe>();
    if (pServer->Start(args.strServe, std::move(routes), strWhy, {}, access)) return pServer;
    std::fprintf(stderr, "hvl-scan: error: cannot serve on %s: %s\n", args.strServe.c_str(), strWhy.c_str());
    return nullptr;
}
