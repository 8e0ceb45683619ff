#include "printer_scan.h"

#include <cassert>

#include "glib_types.h"
#include "mdns_responder_client.h"
#include "trace_log.h"
#include "upnp_finder.h"

ProviderArray CPrinterScan::CreateDefaultProviders() {
    return CreateProviders(false);
}

ProviderArray CPrinterScan::CreateProviders(bool bIpp) {
    ProviderArray aProviders;
    std::vector<std::u16string> aMdnsTypes{u"_printer._tcp", u"_pdl-datastream._tcp"};
    // One entry, two types: browsed in one pass with one closing silence.
    if (bIpp) aMdnsTypes.push_back(u"_ipp._tcp,_ipps._tcp");
    aProviders.push_back(std::make_unique<CMDNSResponderClient>(std::move(aMdnsTypes)));
    aProviders.push_back(std::make_unique<CUPnPFinder>(std::vector<std::u16string>{u"ssdp:all"}));
    return aProviders;
}

CPrinterScan::CPrinterScan(ProviderArray aProviders) {
    // Tick merges per kind: a provider of a kind it does not know would search
    // and list nothing, so it is refused here, where it shows.
    for (auto& pProvider : aProviders) {
        const int32_t nKind = pProvider->GetKind();
        if (nKind == PROVIDER_KIND_MDNS || nKind == PROVIDER_KIND_UPNP) {
            m_aProviders.push_back(std::move(pProvider));
            continue;
        }
        TraceMessage(TRACE_ERROR, nullptr, u"%s: Unknown provider kind %d, not used.", pProvider->GetName(),
                     nKind);
    }
}

CPrinterScan::~CPrinterScan() {
    Shutdown();
}

bool CPrinterScan::IsProviderEnabled(const CMulticastDataProvider& provider, const SearchOptions& options) {
    switch (provider.GetKind()) {
        case PROVIDER_KIND_MDNS:
            return options.bMdnsEnabled != 0;
        case PROVIDER_KIND_UPNP:
            return options.bUpnpEnabled != 0;
        default:
            return true;  // a method without a switch of its own always takes part
    }
}

CPrinterScan::StartResult CPrinterScan::StartScan(const SearchOptions& options) {
    StartResult result;
    SetUpGLibTypes();  // before any provider's thread
    m_aPrinters.RemoveAll();
    m_nMergedCountMdns = 0;
    m_nMergedCountUpnp = 0;
    m_bIncompleteSeen = false;
    m_nSettledCount = 0;
    // Every provider empties the shared list before any search starts.
    for (auto& pProvider : m_aProviders) pProvider->ResetData();
    for (auto& pProvider : m_aProviders) {
        // Asked whatever the options say: a provider traces why it cannot work.
        const bool bAvailable = pProvider->IsAvailable() != 0;
        const bool bEnabled = IsProviderEnabled(*pProvider, options);
        if (!bEnabled) continue;
        ++result.nEnabled;
        if (!bAvailable) {
            result.aUnavailable.push_back(pProvider->GetName());
            continue;
        }
        ++result.nAvailable;
        if (pProvider->StartSearch()) ++result.nStarted;
    }
    return result;
}

int32_t CPrinterScan::Tick() {
    int32_t nSearching = 0;
    bool bMerged = false;
    bool bAnyHealthy = false;
    for (auto& pProvider : m_aProviders) {
        if (pProvider->IsSearching()) ++nSearching;
        // A provider whose search failed or ran out of time merges nothing of its own.
        if (pProvider->GetStatus() != 0) continue;
        bAnyHealthy = true;
        const int32_t nCount = CMulticastDataProvider::GetPacketCount();
        if (nCount == 0) continue;
        int32_t nCompare;
        switch (pProvider->GetKind()) {
            case PROVIDER_KIND_MDNS:
                nCompare = m_nMergedCountMdns;
                break;
            case PROVIDER_KIND_UPNP:
                nCompare = m_nMergedCountUpnp;
                break;
            default:
                assert(!"a provider of a kind the constructor refuses");
                continue;
        }
        if (nCount == nCompare) continue;
        MergePackets(nCount);
        m_nMergedCountMdns = nCount;
        bMerged = true;
    }
    // When the UPnP provider's last search failed, no pass re-merges a list
    // that did not grow, and an mDNS packet completed after its append would
    // never be listed. Keep merging while packets are still being filled in,
    // on behalf of a provider whose search is sound.
    if (!bMerged && m_bIncompleteSeen && bAnyHealthy) {
        const int32_t nCount = CMulticastDataProvider::GetPacketCount();
        MergePackets(nCount);
        m_nMergedCountMdns = nCount;
    }
    return nSearching;
}

void CPrinterScan::MergePackets(int32_t nCount) {
    bool bIncomplete = false;
    MulticastDataPacket packet;
    PrinterData printer;
    bool bSettling = true;
    for (int32_t j = m_nSettledCount; j < nCount; ++j) {
        if (!CMulticastDataProvider::GetPacket(j, packet)) {
            bSettling = false;
            continue;
        }
        if (!packet.bComplete) {
            bIncomplete = true;  // taken at a later merge, once complete
            bSettling = false;
            continue;
        }
        if (bSettling) m_nSettledCount = j + 1;
        if (m_aPrinters.FindByAddress(packet.strIpAddress) != nullptr) continue;
        printer.strName = packet.strName;
        printer.strIpAddress = packet.strIpAddress;
        printer.strUrl = packet.strUrl;
        printer.nKind = packet.nKind;
        printer.strType = packet.strType;
        printer.strModel = packet.strModel;
        if (m_aPrinters.AddPrinter(printer) && m_fnAdded) m_fnAdded(printer);
    }
    m_bIncompleteSeen = bIncomplete;
}

void CPrinterScan::StopScan() {
    for (auto& pProvider : m_aProviders) pProvider->StopSearch();
}

void CPrinterScan::Shutdown() {
    for (auto& pProvider : m_aProviders) pProvider->StopSearch();
    m_aProviders.clear();
}
