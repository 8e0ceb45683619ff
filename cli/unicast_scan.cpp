#include "unicast_scan.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "network_text.h"

std::vector<std::string> UnicastTypes(bool bIpp) {
    std::vector<std::string> aTypes{"_printer._tcp", "_pdl-datastream._tcp"};
    if (bIpp) {
        aTypes.push_back("_ipp._tcp");
        aTypes.push_back("_ipps._tcp");
    }
    return aTypes;
}

ScanRow ScanRowFromUnicast(const UnicastPrinter& printer) {
    ScanRow row;
    row.strName = printer.strName;
    row.strIpAddress = printer.strIpAddress;
    row.strUrl = printer.strUrl;
    row.nKind = ROW_KIND_UNICAST_DNSSD;
    row.strType = printer.strType;
    row.strModel = printer.strModel;
    row.strDomain = printer.strDomain;
    row.strLocation = printer.strLocation;
    row.aAddresses = {printer.strIpAddress};
    return row;
}

std::string PrintableProblem(const UnicastProblem& problem) {
    const std::string strLine =
        problem.strDomain.empty() ? problem.strText : problem.strDomain + ": " + problem.strText;
    return PrintableText(BoundedNetworkText(strLine, 2048), PrintTarget::TERMINAL);
}

UnicastOptions UnicastOptionsFor(const std::vector<std::string>& aDomains, bool bIpp) {
    UnicastOptions options;
    for (const std::string& strDomain : aDomains) {
        if (strDomain == "auto") {
            options.bParentsFromNetwork = true;
        } else {
            options.aDomains.push_back(strDomain);
        }
    }
    options.aTypes = UnicastTypes(bIpp);
    return options;
}

CUnicastScan::CUnicastScan(UnicastOptions options, RowFn fnRow, ProblemFn fnProblem) {
    m_hStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread(
        [this, options = std::move(options), fnRow = std::move(fnRow), fnProblem = std::move(fnProblem)] {
            CUnicastBrowser browser(options);
            const UnicastReport report = browser.Run(
                m_hStopFd, [&fnRow](const UnicastPrinter& printer) { fnRow(ScanRowFromUnicast(printer)); },
                fnProblem);
            m_bReachedNoServer.store(!report.bStopped && !report.bReachedServer);
            m_bDone.store(true);
        });
}

CUnicastScan::~CUnicastScan() {
    WaitThenStop(std::chrono::steady_clock::now(), [] { return true; });
    if (m_hStopFd >= 0) close(m_hStopFd);
}

void CUnicastScan::WaitThenStop(std::chrono::steady_clock::time_point tDeadline,
                                const std::function<bool()>& fnStop) {
    if (!m_thread.joinable()) return;
    while (!m_bDone.load() && !fnStop() && std::chrono::steady_clock::now() < tDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const uint64_t nOne = 1;
    if (!m_bDone.load() && m_hStopFd >= 0 && write(m_hStopFd, &nOne, sizeof(nOne)) < 0) {
        // A full counter is readable already: the browse stops all the same.
    }
    m_thread.join();
}
