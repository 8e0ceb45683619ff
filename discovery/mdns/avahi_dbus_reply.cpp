#include "avahi_dbus_reply.h"

#include <arpa/inet.h>

#include <vector>

namespace {

std::string WithDot(std::string_view str) {
    std::string strOut(str);
    if (strOut.empty() || strOut.back() != '.') {
        strOut.push_back('.');
    }
    return strOut;
}

}  // namespace

bool AvahiBrowseItemToReply(GVariant* pBody, bool bNew, DnsSdBrowseReply& reply) {
    if (pBody == nullptr || !g_variant_is_of_type(pBody, G_VARIANT_TYPE("(iisssu)"))) {
        return false;
    }
    const char* pszName = nullptr;
    gint32 nInterface = -1;
    gint32 nProtocol = -1;
    g_variant_get_child(pBody, 0, "i", &nInterface);
    g_variant_get_child(pBody, 1, "i", &nProtocol);
    g_variant_get_child(pBody, 2, "&s", &pszName);
    reply = DnsSdBrowseReply();
    reply.nFlags = bNew ? DNSSD_BROWSE_ADDED : 0;
    reply.bHasName = true;
    reply.strName = pszName;
    reply.nInterface = nInterface;
    reply.nProtocol = nProtocol;
    return true;
}

bool AvahiResolverFoundToReply(GVariant* pBody, DnsSdResolveReply& reply) {
    if (pBody == nullptr || !g_variant_is_of_type(pBody, G_VARIANT_TYPE("(iissssisqaayu)"))) {
        return false;
    }
    const char* pszName = nullptr;
    const char* pszType = nullptr;
    const char* pszDomain = nullptr;
    const char* pszHost = nullptr;
    const char* pszAddress = nullptr;
    gint32 nInterface = -1;
    gint32 nAddressProtocol = -1;
    guint16 nPort = 0;
    g_variant_get_child(pBody, 0, "i", &nInterface);
    g_variant_get_child(pBody, 2, "&s", &pszName);
    g_variant_get_child(pBody, 3, "&s", &pszType);
    g_variant_get_child(pBody, 4, "&s", &pszDomain);
    g_variant_get_child(pBody, 5, "&s", &pszHost);
    g_variant_get_child(pBody, 6, "i", &nAddressProtocol);
    g_variant_get_child(pBody, 7, "&s", &pszAddress);
    g_variant_get_child(pBody, 8, "q", &nPort);
    GVariant* pTxt = g_variant_get_child_value(pBody, 9);
    reply = DnsSdResolveReply();
    reply.strFullName = DnsSdFullName(pszName, pszType, pszDomain);
    reply.strHostTarget = WithDot(pszHost);
    reply.nPortNetOrder = htons(nPort);
    reply.strTxt = AvahiTxtRecord(pTxt);
    g_variant_unref(pTxt);
    // Empty when the resolve was asked for no address.
    reply.strAddress = pszAddress;
    reply.nAddressProtocol = nAddressProtocol;
    reply.nInterface = nInterface;
    return true;
}

bool AvahiRecordItemToReply(GVariant* pBody, DnsSdRecordReply& reply) {
    if (pBody == nullptr || !g_variant_is_of_type(pBody, G_VARIANT_TYPE("(iisqqayu)"))) {
        return false;
    }
    guint16 nClass = 0;
    guint16 nType = 0;
    g_variant_get_child(pBody, 3, "q", &nClass);
    g_variant_get_child(pBody, 4, "q", &nType);
    GVariant* pData = g_variant_get_child_value(pBody, 5);
    gsize nLen = 0;
    const void* pBytes = g_variant_get_fixed_array(pData, &nLen, 1);
    reply = DnsSdRecordReply();
    reply.nClass = nClass;
    reply.nType = nType;
    if (pBytes != nullptr) {
        reply.strData.assign(static_cast<const char*>(pBytes), nLen);
    }
    g_variant_unref(pData);
    return true;
}

std::string AvahiTxtRecord(GVariant* pList) {
    std::string strTxt;
    if (pList == nullptr || !g_variant_is_of_type(pList, G_VARIANT_TYPE("aay"))) {
        return strTxt;
    }
    const gsize nItems = g_variant_n_children(pList);
    for (gsize i = nItems; i-- > 0;) {
        GVariant* pItem = g_variant_get_child_value(pList, i);
        gsize nLen = 0;
        const void* pBytes = g_variant_get_fixed_array(pItem, &nLen, 1);
        if (pBytes != nullptr && nLen > 0 && nLen <= 255) {
            strTxt.push_back(static_cast<char>(nLen));
            strTxt.append(static_cast<const char*>(pBytes), nLen);
        }
        g_variant_unref(pItem);
    }
    return strTxt;
}

std::string DnsSdFullName(std::string_view strName, std::string_view strType, std::string_view strDomain) {
    std::string strFull;
    for (char c : strName) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '.' || c == '\\') {
            strFull.push_back('\\');
            strFull.push_back(c);
        } else if (b <= ' ') {
            const char aDigits[] = {'\\', static_cast<char>('0' + b / 100),
                                    static_cast<char>('0' + b / 10 % 10), static_cast<char>('0' + b % 10)};
            strFull.append(aDigits, sizeof(aDigits));
        } else {
            strFull.push_back(c);
        }
    }
    strFull.push_back('.');
    strFull += WithDot(strType);
    strFull += WithDot(strDomain);
    return strFull;
}
