#include "scan_serve.h"

#include <glib.h>

#include <cstdio>

#include "conv_string.h"
#include "scan_output.h"
#include "scan_status.h"

// resources/serve/page.html, put in the binary by the build.
extern "C" const char hvl_serve_page[];
extern "C" const char hvl_serve_page_end[];

void CServedWatch::OnEvent(const WatchEvent& event, const PrinterStatus* pStatus) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pList = std::make_shared<ServedList>(*m_pList);
    ++m_pList->events[event.nKind == WatchEventKind::ADD      ? "add"
                      : event.nKind == WatchEventKind::REMOVE ? "remove"
                                                              : "change"];
    std::vector<ServedPrinter>& aPrinters = m_pList->aPrinters;
    ServedPrinter* pPrinter = Find(event.row.strIpAddress);
    if (event.nKind == WatchEventKind::REMOVE) {
        if (pPrinter) aPrinters.erase(aPrinters.begin() + (pPrinter - aPrinters.data()));
        return;
    }
    if (!pPrinter) pPrinter = &aPrinters.emplace_back();
    pPrinter->pRow = std::make_shared<const ScanRow>(event.row);
    if (pStatus) pPrinter->pStatus = std::make_shared<const PrinterStatus>(*pStatus);
}

void CServedWatch::OnStatus(const std::u16string& strAddress, const PrinterStatus& status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Find(strAddress)) return;
    m_pList = std::make_shared<ServedList>(*m_pList);
    Find(strAddress)->pStatus = std::make_shared<const PrinterStatus>(status);
}

void CServedWatch::OnRows(const std::vector<ScanRow>& aRows) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pList = std::make_shared<ServedList>(*m_pList);
    for (const ScanRow& row : aRows) {
        ServedPrinter* pPrinter = Find(row.strIpAddress);
        if (pPrinter && pPrinter->pRow->tLastSeen != row.tLastSeen)
            pPrinter->pRow = std::make_shared<const ScanRow>(row);
    }
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

ServedPrinter* CServedWatch::Find(const std::u16string& strAddress) {
    for (ServedPrinter& printer : m_pList->aPrinters) {
        if (printer.pRow->strIpAddress == strAddress) return &printer;
    }
    return nullptr;
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

HttpReply MetricsReply(const HttpRequest& request, const ServedList& list) {
    // Prometheus asks for OpenMetrics first when it can read it.
    const bool bOpenMetrics = request.strAccept.find("application/openmetrics-text") != std::string::npos;
    const auto it = request.params.find("target");
    const std::u16string strTarget = it == request.params.end() ? u"" : Utf8ToUtf16(it->second);
    if (it != request.params.end() && !FindServedPrinter(list, strTarget))
        return {404, "text/plain; charset=utf-8", "No such printer is listed\n"};
    return {200,
            bOpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                         : "text/plain; version=0.0.4; charset=utf-8",
            MetricsText(list, bOpenMetrics, it == request.params.end() ? nullptr : &strTarget)};
}

}  // namespace

std::unique_ptr<CHttpServe> StartServe(const ScanOptions& args, const CServedWatch& served) {
    std::map<std::string, HttpRoute> routes{
        {"/", [](const HttpRequest&) { return PageReply(); }},
        {"/printers", [&args, &served](const HttpRequest&) { return PrintersReply(args, *served.Get()); }},
        {"/metrics", [&served](const HttpRequest& request) { return MetricsReply(request, *served.Get()); }},
        {"/targets",
         [&served](const HttpRequest&) {
             return HttpReply{200, "application/json", TargetsJson(*served.Get())};
         }},
    };
    auto pServer = std::make_unique<CHttpServe>();
    std::string strWhy;
    if (pServer->Start(args.strServe, std::move(routes), strWhy)) return pServer;
    std::fprintf(stderr, "hvl-scan: error: cannot serve on %s: %s\n", args.strServe.c_str(), strWhy.c_str());
    return nullptr;
}
