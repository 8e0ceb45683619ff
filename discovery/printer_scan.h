// One scan over the discovery providers, without any window: start, the
// 100 ms tick that polls the providers and merges their packets into the
// printer list, and stop. The window and hvl-scan both drive this class, so
// they run the very same scan.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "multicast_data_provider.h"
#include "printer_list.h"
#include "search_options.h"

using ProviderArray = std::vector<std::unique_ptr<CMulticastDataProvider>>;

class CPrinterScan {
public:
    // The period at which the owner calls Tick().
    static constexpr std::chrono::milliseconds TICK_PERIOD{100};

    // The program's providers, in the order every loop visits them: mDNS
    // ("_printer._tcp", "_pdl-datastream._tcp"), then UPnP ("ssdp:all").
    static ProviderArray CreateDefaultProviders();
    // The same; with bIpp the mDNS provider adds a third pass that browses
    // "_ipp._tcp" and "_ipps._tcp" together (hvl-scan --ipp; the window
    // never asks for it).
    static ProviderArray CreateProviders(bool bIpp);

    // Takes the providers in their order; tests hand in their own.
    explicit CPrinterScan(ProviderArray aProviders);
    // Stops and releases the providers (see Shutdown).
    ~CPrinterScan();

    CPrinterScan(const CPrinterScan&) = delete;
    CPrinterScan& operator=(const CPrinterScan&) = delete;

    // What StartScan did with the providers.
    struct StartResult {
        int32_t nEnabled = 0;                      // providers whose option is on
        int32_t nAvailable = 0;                    // of those, the ones that can work here
        int32_t nStarted = 0;                      // of those, the ones whose search started
        std::vector<std::u16string> aUnavailable;  // names of switched-on providers that cannot work
    };

    // Empties the printer list and the packet list, then starts every
    // provider that is available and switched on in `options`.
    StartResult StartScan(const SearchOptions& options);

    // One timer tick: merges what the providers found into the printer list.
    // Returns the number of providers still searching; 0 ends the scan.
    int32_t Tick();

    // Ends every search at once; the printers found so far stay listed.
    void StopScan();

    // Stops every provider and releases them. Later ticks find none searching.
    void Shutdown();

    // Merges the complete packets among the first nCount packets of the
    // shared list into the printer list.
    void MergePackets(int32_t nCount);

    const CPrinterList& GetPrinterList() const { return m_aPrinters; }
    const ProviderArray& GetProviders() const { return m_aProviders; }

    // Called for each printer the moment it is listed.
    void SetPrinterAddedCallback(std::function<void(const PrinterData&)> fnAdded) {
        m_fnAdded = std::move(fnAdded);
    }

    static bool IsProviderEnabled(const CMulticastDataProvider& provider, const SearchOptions& options);

private:
    ProviderArray m_aProviders;
    CPrinterList m_aPrinters;
    // The size of the packet list at the last merge, whichever provider's pass merged.
    int32_t m_nMergedCountMdns = 0;
    // The count the UPnP provider's pass compares with. It stays 0 during a
    // scan, so that pass re-merges the whole packet list on every tick: this
    // is what lists an mDNS packet completed after it was appended.
    int32_t m_nMergedCountUpnp = 0;
    // The last merge skipped packets that were still being filled in.
    bool m_bIncompleteSeen = false;
    // The leading packets that were all complete when last merged. A complete
    // packet is never changed again, so merging it once is enough: the
    // re-merge of every tick starts after them.
    int32_t m_nSettledCount = 0;
    std::function<void(const PrinterData&)> m_fnAdded;
};
