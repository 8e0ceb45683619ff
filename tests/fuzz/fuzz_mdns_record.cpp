// What a printer's mDNS announcement hands the provider when it is resolved:
// the TXT record, the host target, the full service name and the address
// record's data, through the TXT item reading, the administration URL, the
// address text and the text decoding the trace uses, checking what every
// result must satisfy.
//
// The TXT record and the names also go through the conversion of
// avahi-daemon's D-Bus bodies, and the raw input is read as such a body.
//
// Input: three length bytes, then the host target, the full name and the
// address data of those lengths, then the TXT record to the end (parts cut
// short where the input ends).
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "avahi_dbus_reply.h"
#include "conv_string.h"
#include "dnssd_client.h"
#include "mdns_responder_client.h"

namespace {

// The strings of one resolve reply and the answer to its address query.
struct ResolveParts {
    std::string strHostTarget;
    std::string strFullName;
    std::string strAddressData;
    std::string strTxt;
};

ResolveParts Split(std::string_view input) {
    ResolveParts parts;
    size_t aLengths[3] = {};
    for (size_t& nLength : aLengths) {
        if (input.empty()) return parts;
        nLength = static_cast<unsigned char>(input.front());
        input.remove_prefix(1);
    }
    for (auto [pPart, nLength] :
         {std::pair{&parts.strHostTarget, aLengths[0]}, std::pair{&parts.strFullName, aLengths[1]},
          std::pair{&parts.strAddressData, aLengths[2]}}) {
        const std::string_view part = input.substr(0, nLength);
        pPart->assign(part);
        input.remove_prefix(part.size());
    }
    parts.strTxt.assign(input);
    return parts;
}

void Check(bool bCondition) {
    if (!bCondition) std::abort();
}

// Every high surrogate followed by a low one and no low one alone: what
// decoding always gives, whatever the bytes.
void CheckUtf16(const std::u16string& strText) {
    for (size_t i = 0; i < strText.size(); ++i) {
        const char16_t c = strText[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            Check(i + 1 < strText.size() && strText[i + 1] >= 0xDC00 && strText[i + 1] <= 0xDFFF);
            ++i;
        } else {
            Check(!(c >= 0xDC00 && c <= 0xDFFF));
        }
    }
}

// The items of a record come out of the record: a reader that strays past an
// item's end (the library is not instrumented, so nothing else would tell)
// hands back bytes that are not in it.
void CheckTxtItems(const std::vector<DnsSdTxtItem>& aItems, const std::string& strTxt) {
    size_t nStrings = 0;
    for (size_t i = 0; i < strTxt.size(); i += 1 + static_cast<unsigned char>(strTxt[i])) ++nStrings;
    Check(aItems.size() <= nStrings);
    for (const DnsSdTxtItem& item : aItems) {
        Check(item.strKey.size() < 256 && item.strValue.size() < 256);
        Check(item.strKey.size() + item.strValue.size() < strTxt.size());
        Check(item.bHasValue || item.strValue.empty());
        Check(strTxt.find(item.strKey) != std::string::npos);
        Check(strTxt.find(item.strValue) != std::string::npos);
    }
}

// Trimmed, decoded whole; the fallback always names a scheme.
void CheckAdminUrl(const std::u16string& strUrl) {
    CheckUtf16(strUrl);
    std::u16string strTrimmed = strUrl;
    TrimRight(strTrimmed);
    TrimLeft(strTrimmed);
    Check(strTrimmed == strUrl);
}

// Four bytes give their dotted quad, anything else nothing.
void CheckAddressText(const std::u16string& strAddress, const std::string& strData) {
    if (strData.size() != 4) {
        Check(strAddress.empty());
        return;
    }
    const std::string strText = Utf16ToUtf8(strAddress);
    unsigned char aBytes[4] = {};
    Check(inet_pton(AF_INET, strText.c_str(), aBytes) == 1);
    Check(std::memcmp(aBytes, strData.data(), 4) == 0);
}

// The reply as the dns_sd library hands it over (CDnsSdClient): what
// CMDNSResponderClient::ResolveOne and QueryAddress make of it.
void FuzzLibraryReply(const ResolveParts& parts) {
    const std::vector<DnsSdTxtItem> aItems = ReadTxtItems(parts.strTxt);
    CheckTxtItems(aItems, parts.strTxt);
    CheckAdminUrl(MdnsAdminUrl(aItems, parts.strHostTarget));
    CheckUtf16(Utf8ToUtf16(parts.strFullName));  // the trace's text of the full name
    CheckAddressText(MdnsAddressText(parts.strAddressData), parts.strAddressData);
}

GVariant* Owned(GVariant* pValue) {
    return g_variant_ref_sink(pValue);
}

GVariant* Bytes(std::string_view bytes) {
    return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
}

// The same reply as avahi's D-Bus interface carries it: the TXT list built
// from the record's strings comes back as the record; then the raw input read
// as a body of one signal's type, since another process can send any bytes.
// (A whole resolve body built from the parts cost twice the rest of the run
// and only read the same TXT items and URL again.)
void FuzzDBusReply(const ResolveParts& parts, std::string_view input) {
    std::vector<std::string_view> aStrings;
    std::string strExpected;  // the record without its empty items, which carry nothing
    size_t nEnd = 0;
    while (nEnd < parts.strTxt.size()) {
        const size_t nLength = static_cast<unsigned char>(parts.strTxt[nEnd]);
        aStrings.push_back(std::string_view(parts.strTxt).substr(nEnd + 1, nLength));
        if (nLength > 0) strExpected.append(parts.strTxt, nEnd, 1 + nLength);
        nEnd += 1 + nLength;
    }
    GVariantBuilder txt;
    g_variant_builder_init(&txt, G_VARIANT_TYPE("aay"));
    for (auto it = aStrings.rbegin(); it != aStrings.rend(); ++it) {  // avahi sends the last item first
        g_variant_builder_add_value(&txt, Bytes(*it));
    }
    GVariant* pTxt = Owned(g_variant_builder_end(&txt));
    const std::string strTxt = AvahiTxtRecord(pTxt);
    // Items back in the order of the wire: a well-formed record comes out as it went in.
    if (nEnd == parts.strTxt.size()) Check(strTxt == strExpected);
    g_variant_unref(pTxt);
    // The full name a resolve body's strings make, any bytes escaped.
    CheckUtf16(Utf8ToUtf16(DnsSdFullName(parts.strFullName, parts.strHostTarget, "local")));

    // Any bytes, as a body of one signal's type or of the TXT list (the first
    // byte chooses: one reading per run keeps the runs fast).
    if (!input.empty()) {
        static constexpr const char* TYPES[] = {"(iissssisqaayu)", "(iisssu)", "(iisqqayu)", "aay"};
        const char* pszType = TYPES[static_cast<unsigned char>(input.front()) % 4];
        GVariant* pBody = Owned(g_variant_new_from_data(G_VARIANT_TYPE(pszType), input.data(), input.size(),
                                                        FALSE, nullptr, nullptr));
        DnsSdResolveReply resolveReply;
        DnsSdBrowseReply browseReply;
        DnsSdRecordReply recordReply;
        if (AvahiResolverFoundToReply(pBody, resolveReply)) {
            const std::vector<DnsSdTxtItem> aItems = ReadTxtItems(resolveReply.strTxt);
            CheckTxtItems(aItems, resolveReply.strTxt);
            CheckAdminUrl(MdnsAdminUrl(aItems, resolveReply.strHostTarget));
            CheckUtf16(Utf8ToUtf16(resolveReply.strFullName));
        }
        AvahiBrowseItemToReply(pBody, true, browseReply);
        if (AvahiRecordItemToReply(pBody, recordReply)) {
            CheckAddressText(MdnsAddressText(recordReply.strData), recordReply.strData);
        }
        AvahiTxtRecord(pBody);
        g_variant_unref(pBody);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const ResolveParts parts = Split(std::string_view(reinterpret_cast<const char*>(pData), nSize));
    FuzzLibraryReply(parts);
    FuzzDBusReply(parts, std::string_view(reinterpret_cast<const char*>(pData), nSize));
    return 0;
}
