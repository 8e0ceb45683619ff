// What the direct mDNS querier reads off the wire: a response packet, read
// twice into one store (the second time as a repeat answer), then what the
// store makes of it: complete services, questions for what is missing and
// repeat queries with known answers, each of which must parse again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "mdns_direct.h"
// After the C++ headers: under clang, ldns's own headers upset libstdc++'s.
#include <ldns/ldns.h>

namespace {

void CheckParses(const std::vector<std::vector<uint8_t>>& aPackets) {
    for (const auto& aPacket : aPackets) {
        ldns_pkt* pPacket = nullptr;
        if (aPacket.size() > 1400 ||
            ldns_wire2pkt(&pPacket, aPacket.data(), aPacket.size()) != LDNS_STATUS_OK)
            abort();
        ldns_pkt_free(pPacket);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    MdnsDirectLimits limits;
    limits.nInstances = 16;
    CMdnsDirectStore store({"_printer._tcp", "_ipp._tcp"}, limits);
    if (!store.Read(pData, nSize, 1)) return 0;
    store.Read(pData, nSize, 2);
    for (const MdnsDirectService& service : store.TakeComplete()) {
        if (service.aAddresses.empty() || service.strTxt.size() > limits.nTxtBytes) abort();
    }
    if (store.GetInstanceCount() > limits.nInstances) abort();
    CheckParses(store.Missing(1, 2, 2));
    CheckParses(store.Queries("_ipp._tcp", 3));
    return 0;
}
