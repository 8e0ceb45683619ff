// One timer tick of a finished scan with n listed printers: the UPnP
// provider's pass re-merges the whole packet list on every tick, so this is
// the steady cost the window pays ten times a second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "fake_provider.h"
#include "printer_scan.h"

namespace {

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

void BM_ScanTick(benchmark::State& state) {
    const int nPrinters = static_cast<int>(state.range(0));
    auto fill = [nPrinters](CFakeProvider& p) {
        for (int i = 0; i < nPrinters; ++i) {
            const std::string ip = "192.168." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
            p.Append(Wide("Printer number " + std::to_string(i)), Wide(ip), Wide("http://" + ip + "/admin"));
        }
    };
    ProviderArray aProviders;
    aProviders.push_back(std::make_unique<CFakeProvider>(PROVIDER_KIND_MDNS, u"MDNS", fill));
    aProviders.push_back(std::make_unique<CFakeProvider>(PROVIDER_KIND_UPNP, u"UPNP"));
    CPrinterScan scan(std::move(aProviders));
    scan.StartScan(SearchOptions{});
    while (scan.Tick() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    scan.Tick();
    if (scan.GetPrinterList().GetCount() != nPrinters) state.SkipWithError("not every printer was listed");

    for (auto _ : state) {
        benchmark::DoNotOptimize(scan.Tick());
    }
    state.counters["printers"] = nPrinters;
}

BENCHMARK(BM_ScanTick)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
