// SNMP in the live scan: the finder's broadcast (or subnet sweep), each
// printer listed the moment its identity is in.
#include "conv_string.h"
#include "live_sources.h"
#include "snmp_finder.h"
#include "snmp_method.h"

namespace {

class CLiveSnmpSource : public CLiveSource {
public:
    explicit CLiveSnmpSource(const LiveScanSettings& settings)
        : m_finder(Settings(settings)), m_again(settings) {}

    std::u16string GetName() const override { return std::u16string(SNMP_METHOD.strName); }
    int32_t Run(CLiveRowSink& sink) override {
        return m_again.Run(
            [this, &sink] {
                return m_finder.Run([&sink](const SnmpPrinter& printer) {
                    // SNMP knows a printer by the address that answered.
                    ScanRow row = ScanRowFromSnmp(printer);
                    const std::u16string strKey = row.strIpAddress;
                    sink.Report({ROW_KIND_SNMP, strKey}, std::move(row));
                });
            },
            sink, GetName());
    }
    bool CanRunAgain() const override { return true; }
    void Stop() override {
        m_again.Stop();
        m_finder.Stop();
    }

private:
    static SnmpFinderSettings Settings(const LiveScanSettings& settings) {
        SnmpFinderSettings finder;
        finder.aCommunities = settings.aSnmpCommunities;
        finder.aAddresses = settings.aSnmpAddresses;
        return finder;
    }

    CSnmpFinder m_finder;
    CSearchAgain m_again;  // under watch
};

}  // namespace

ScanRow ScanRowFromSnmp(const SnmpPrinter& printer) {
    ScanRow row;
    row.nKind = ROW_KIND_SNMP;
    row.strIpAddress = Utf8ToUtf16(printer.strAddress);
    row.aAddresses = {row.strIpAddress};
    row.strUrl = u"http://" + row.strIpAddress + u"/";
    row.strModel = SnmpDeviceIdModel(printer.strDeviceId);
    if (row.strModel.empty()) row.strModel = SnmpText(printer.strDeviceDescr);
    row.strName = SnmpText(printer.strPrinterName);
    if (row.strName.empty()) row.strName = SnmpText(printer.strSysName);
    if (row.strName.empty()) row.strName = row.strModel;
    if (row.strName.empty()) row.strName = row.strIpAddress;  // it told nothing that is text
    row.strLocation = SnmpText(printer.strSysLocation);
    row.strSnmpCommunity = printer.strCommunity;
    // sysDescr is mandatory: an agent that told nothing at all did not answer
    // the identity request.
    row.bDetailsUnread = printer.strSysName.empty() && printer.strSysLocation.empty() &&
                         printer.strSysDescr.empty() && printer.strDeviceDescr.empty() &&
                         printer.strPrinterName.empty() && printer.strSerial.empty() &&
                         printer.strDeviceId.empty();
    return row;
}

std::unique_ptr<CLiveSource> CreateLiveSnmpSource(const LiveScanSettings& settings) {
    return std::make_unique<CLiveSnmpSource>(settings);
}
