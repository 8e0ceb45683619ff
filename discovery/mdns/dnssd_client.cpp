// What both DNS-SD clients share: reading a raw TXT record.
#include "dnssd_client.h"

std::vector<DnsSdTxtItem> ReadTxtItems(const std::string& strTxt) {
    // The dns_sd reader's key buffer holds 255 bytes with the key's end.
    constexpr size_t MAX_KEY_BYTES = 254;
    std::vector<DnsSdTxtItem> aItems;
    size_t nPos = 0;
    while (nPos < strTxt.size()) {
        const size_t nLen = static_cast<unsigned char>(strTxt[nPos]);
        ++nPos;
        if (nLen > strTxt.size() - nPos) {
            break;  // runs past the end: nothing of it is read
        }
        const std::string_view item(strTxt.data() + nPos, nLen);
        nPos += nLen;
        if (item.empty()) {
            continue;
        }
        const size_t nEquals = item.find('=');
        DnsSdTxtItem txtItem;
        txtItem.strKey = std::string(item.substr(0, nEquals));
        if (txtItem.strKey.size() > MAX_KEY_BYTES) {
            continue;
        }
        if (nEquals != std::string_view::npos) {
            txtItem.bHasValue = true;
            txtItem.strValue = std::string(item.substr(nEquals + 1));
        }
        aItems.push_back(std::move(txtItem));
    }
    return aItems;
}
