// One watch interval of the printer registry at n rows of mixed methods:
// every finding a search makes is reported again (WSD, SNMP, UPnP), every
// row answers its liveness check, and the watch judges the rows 50 times
// (every 200 ms of a 10 s interval). Memory per row is what the filled
// registry holds, divided by its rows.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <string>
#include <vector>

#include "printer_registry.h"

namespace {

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

struct Finding {
    FindingKey key;
    ScanRow row;
};

// A third each of the rows: mDNS with a UUID and two addresses, of which
// half are found by WSD too and half answer SNMP at their address; UPnP
// printers of their own.
// Filled in place: GCC 12 at -O3 takes a braced temporary's key for
// uninitialised (-Werror=maybe-uninitialized).
void AddFinding(std::vector<Finding>& aFindings, int32_t nKind, const std::u16string& strKey, bool bAnnounced,
                ScanRow row) {
    Finding& finding = aFindings.emplace_back();
    finding.key.nKind = nKind;
    finding.key.strKey = strKey;
    finding.key.bAnnounced = bAnnounced;
    finding.row = std::move(row);
}

std::vector<Finding> Findings(int nRows) {
    std::vector<Finding> aFindings;
    const int nThird = nRows / 3;
    auto fnRow = [](int32_t nKind, int i, const std::string& strId) {
        ScanRow row;
        row.nKind = nKind;
        row.strName = Wide("Printer " + std::to_string(i));
        row.strIpAddress = Wide("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) +
                                "." + std::to_string(i % 256));
        row.aAddresses = {row.strIpAddress, Wide("fe80::" + std::to_string(i) + "%eth0")};
        row.strId = Wide(strId);
        row.strUrl = u"http://" + row.strIpAddress + u"/";
        return row;
    };
    auto fnUuid = [](int i) { return "6f1e7a2c-0b3d-4c5e-8f90-" + std::to_string(100000000000 + i); };
    for (int i = 0; i < 3 * nThird; ++i) {
        const bool bMdns = i < 2 * nThird;
        const int32_t nKind = bMdns ? PROVIDER_KIND_MDNS : PROVIDER_KIND_UPNP;
        ScanRow row = fnRow(nKind, i, fnUuid(i));
        AddFinding(aFindings, nKind, u"_ipp._tcp\n" + row.strName, true, row);
        if (!bMdns || i >= nThird) continue;
        AddFinding(aFindings, ROW_KIND_WSD, row.strId, false, fnRow(ROW_KIND_WSD, i, fnUuid(i)));
        ScanRow snmp = fnRow(ROW_KIND_SNMP, i + nThird, "");
        snmp.aAddresses.resize(1);
        AddFinding(aFindings, ROW_KIND_SNMP, snmp.strIpAddress, false, snmp);
    }
    return aFindings;
}

void BM_WatchInterval(benchmark::State& state) {
    const std::vector<Finding> aFindings = Findings(static_cast<int>(state.range(0)));
    const size_t nBefore = mallinfo2().uordblks;
    CPrinterRegistry registry({std::chrono::seconds(10), std::chrono::minutes(60), nullptr});
    auto tNow = CPrinterRegistry::Clock::now();
    CPrinterRegistry::Events events;
    for (const Finding& finding : aFindings) registry.Report(finding.key, finding.row, tNow, events);
    const double fPerRow =
        static_cast<double>(mallinfo2().uordblks - nBefore) / static_cast<double>(registry.GetCount());
    events.clear();
    for (auto _ : state) {
        tNow += std::chrono::seconds(10);
        for (const Finding& finding : aFindings) {
            if (finding.key.nKind != PROVIDER_KIND_MDNS)
                registry.Report(finding.key, finding.row, tNow, events);
        }
        registry.ForEachWatched(
            [&](uint64_t nRow, const ScanRow&) { registry.Answered(nRow, tNow, events); });
        for (int i = 0; i < 50; ++i) registry.Judge(tNow, events);
        benchmark::DoNotOptimize(events.data());
        events.clear();
    }
    state.counters["rows"] = static_cast<double>(registry.GetCount());
    state.counters["bytes_per_row"] = fPerRow;
}

BENCHMARK(BM_WatchInterval)->Arg(5000)->Unit(benchmark::kMillisecond);

}  // namespace
