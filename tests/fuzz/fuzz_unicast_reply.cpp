// Reads arbitrary bytes as a DNS reply to a PTR browse, as the unicast
// DNS-SD browse does, and checks that every instance name read from it
// splits into labels that, escaped for a query, split back to themselves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "dns_names.h"
#include "dns_queries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 65535) return 0;
    std::vector<std::string> aTargets;
    if (!ReadPtrTargets(pData, static_cast<int>(nSize), aTargets)) return 0;
    for (const std::string& strTarget : aTargets) {
        bool bMalformed = false;
        const std::vector<std::string> aLabels = SplitDnsName(strTarget, &bMalformed);
        CleanDomain(strTarget);
        if (bMalformed) continue;
        std::string strQuery;
        for (const std::string& strLabel : aLabels) {
            if (!strQuery.empty()) strQuery += '.';
            strQuery += EscapeDnsLabel(strLabel);
        }
        bool bQueryMalformed = false;
        if (SplitDnsName(strQuery, &bQueryMalformed) != aLabels || bQueryMalformed) std::abort();
    }
    return 0;
}
