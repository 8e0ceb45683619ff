// Unicast DNS-SD in the live scan: see unicast_method.h.
#include <cstdint>
#include <set>

#include "live_sources.h"
#include "network_text.h"
#include "stop_signal.h"
#include "unicast_method.h"

namespace {

ScanRow ScanRowFromUnicast(const UnicastPrinter& printer) {
    ScanRow row = ScanRowFromListed(printer, ROW_KIND_UNICAST_DNSSD);
    row.strDomain = printer.strDomain;
    row.strLocation = printer.strLocation;
    row.strId = UuidIdentity(printer.strUuid);  // the same printer over mDNS, WSD or UPnP
    return row;
}

class CLiveUnicastSource : public CLiveSource {
public:
    explicit CLiveUnicastSource(const LiveScanSettings& settings)
        : m_options(UnicastOptionsFor(settings.aDomains, settings.bIpp)),
          m_fnProblem(settings.fnDomainProblem),
          m_bWatch(settings.bWatch),
          m_again(settings) {}

    std::u16string GetName() const override { return std::u16string(DNS_SD_METHOD.strName); }
    int32_t Run(CLiveRowSink& sink) override {
        return m_again.Run(
            [this, &sink] {
                const UnicastReport report = CUnicastBrowser(m_options).Run(
                    m_stop.Fd(),
                    [&sink](const UnicastPrinter& p) {
                        // One finding per instance of a type in a domain.
                        const std::u16string strKey = p.strType + u'\n' + p.strName + u'\n' + p.strDomain;
                        sink.Report({ROW_KIND_UNICAST_DNSSD, strKey}, ScanRowFromUnicast(p));
                    },
                    [this](const UnicastProblem& problem) { Tell(PrintableProblem(problem)); });
                return report.bStopped || report.bReachedServer ? 0 : 1;
            },
            sink, GetName());
    }
    // Under watch: no DNS server reached yet (a network that comes up after login).
    bool CanRunAgain() const override { return true; }
    void Stop() override {
        m_again.Stop();
        // Stays raised: a browse that starts after this ends at once.
        m_stop.Raise();
    }

private:
    // Under watch each problem once, not again with every browse.
    void Tell(const std::string& strLine) {
        if (m_fnProblem && (!m_bWatch || m_setTold.insert(strLine).second)) m_fnProblem(strLine);
    }

    const UnicastOptions m_options;
    const std::function<void(const std::string&)> m_fnProblem;
    const bool m_bWatch;
    std::set<std::string> m_setTold;  // the browse's thread only
    CSearchAgain m_again;             // under watch
    CStopSignal m_stop;
};

}  // namespace

std::unique_ptr<CLiveSource> CreateLiveUnicastSource(const LiveScanSettings& settings) {
    return std::make_unique<CLiveUnicastSource>(settings);
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
    options.aTypes = {"_printer._tcp", "_pdl-datastream._tcp"};
    if (bIpp) options.aTypes.insert(options.aTypes.end(), {"_ipp._tcp", "_ipps._tcp"});
    return options;
}

std::string PrintableProblem(const UnicastProblem& problem) {
    const std::string strLine =
        problem.strDomain.empty() ? problem.strText : problem.strDomain + ": " + problem.strText;
    return PrintableText(BoundedNetworkText(strLine, 2048), PrintTarget::TERMINAL);
}
