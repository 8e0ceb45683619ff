// hvl-scan's filters and --sort over a campus-sized list: 1,000 rows with
// their statuses, as an administrator's option line asks them. Figures in
// docs/filter-benchmarks.md.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "conv_string.h"
#include "multicast_data_provider.h"
#include "row_filter.h"

// Rows and statuses are written with the fields each case needs.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

void BM_FilterAndSort(benchmark::State& state, std::vector<std::pair<FilterField, std::string>> aOptions,
                      SortKey nKey) {
    std::vector<ScanRow> aRows;
    StatusByAddress statuses;
    for (int i = 0; i < 1000; ++i) {
        const std::string strAddress =
            i % 10 ? "10.20." + std::to_string(i / 250) + "." + std::to_string(i % 250)
                   : "fd00::" + std::to_string(i);
        aRows.push_back({.strName = Utf8ToUtf16("Printer " + std::to_string(1000 - i)),
                         .strIpAddress = Utf8ToUtf16(strAddress),
                         .nKind = i % 2 ? PROVIDER_KIND_MDNS : PROVIDER_KIND_UPNP,
                         .strModel = i % 3 ? u"HP LaserJet Pro" : u"Epson WorkForce",
                         .strLocation = Utf8ToUtf16("Floor " + std::to_string(i % 7)),
                         .aAddresses = {Utf8ToUtf16(strAddress)}});
        statuses[aRows.back().strIpAddress] = {.nState = i % 5 ? PrinterState::Idle : PrinterState::Stopped,
                                               .aSupplies = {{u"Black", u"toner", u"black", i % 100, 10}}};
    }
    CRowFilter filter;
    std::string strError;
    for (const auto& [nField, strValue] : aOptions) {
        if (!filter.Add(nField, strValue, strError)) state.SkipWithError(strError.c_str());
    }
    size_t nShown = 0;
    for (auto _ : state) nShown = ShownRows(aRows, filter, &statuses, nKey).size();
    state.counters["shown"] = static_cast<double>(nShown);
}

BENCHMARK_CAPTURE(BM_FilterAndSort, floor3_low_toner_by_name,
                  {{FilterField::Location, "floor 3"}, {FilterField::SupplyBelow, "10"}}, SortKey::Name)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FilterAndSort, stopped_hp_on_subnet_by_address,
                  {{FilterField::Model, "^hp"},
                   {FilterField::State, "stopped"},
                   {FilterField::Address, "10.20.0.0/16"}},
                  SortKey::Address)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FilterAndSort, everything_by_address, {}, SortKey::Address)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
