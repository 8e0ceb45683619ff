#include "web_config.h"

#include <sys/stat.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include <glib.h>
#include <yaml.h>

namespace {

struct Parsed {
    yaml_document_t document{};
    bool bLoaded = false;
    ~Parsed() {
        if (bLoaded) yaml_document_delete(&document);
    }
};

std::string Scalar(yaml_document_t& document, yaml_node_t* pNode) {
    (void)document;
    if (!pNode || pNode->type != YAML_SCALAR_NODE) return {};
    return std::string(reinterpret_cast<const char*>(pNode->data.scalar.value), pNode->data.scalar.length);
}

using KeyFn = std::function<bool(const std::string&, yaml_node_t*, std::string&)>;

// Each key of a mapping (a null node: none) to fnKey; false with why at the first it refuses.
bool ForEachKey(yaml_document_t& document, yaml_node_t* pNode, const std::string& strWhere,
                const KeyFn& fnKey, std::string& strWhy) {
    if (!pNode || (pNode->type == YAML_SCALAR_NODE && Scalar(document, pNode).empty())) return true;
    if (pNode->type != YAML_MAPPING_NODE) {
        strWhy = strWhere + " is not a mapping";
        return false;
    }
    for (yaml_node_pair_t* p = pNode->data.mapping.pairs.start; p < pNode->data.mapping.pairs.top; ++p) {
        const std::string strKey = Scalar(document, yaml_document_get_node(&document, p->key));
        if (!fnKey(strKey, yaml_document_get_node(&document, p->value), strWhy)) {
            if (strWhy.empty()) strWhy = "unknown key " + strWhere + "." + strKey;
            return false;
        }
    }
    return true;
}

bool ReadText(const std::string& strPath, std::string& strText, std::string& strWhy) {
    gchar* pszText = nullptr;
    GError* pError = nullptr;
    if (!g_file_get_contents(strPath.c_str(), &pszText, nullptr, &pError)) {
        strWhy = pError->message;
        g_error_free(pError);
        return false;
    }
    strText = pszText;
    g_free(pszText);
    return true;
}

bool OthersRead(const std::string& strPath) {
    struct stat info {};
    return stat(strPath.c_str(), &info) == 0 && (info.st_mode & S_IROTH);
}

// TLS 1.0 to 1.3 as exporter-toolkit spells them.
int TlsVersion(const std::string& strName) {
    static const std::map<std::string, int> versions{
        {"TLS10", 10}, {"TLS11", 11}, {"TLS12", 12}, {"TLS13", 13}};
    const auto it = versions.find(strName);
    return it == versions.end() ? -1 : it->second;
}

struct TlsFiles {
    std::string strCertFile, strKeyFile;
};

bool ReadTls(yaml_document_t& doc, yaml_node_t* pNode, HttpServeAccess& access, TlsFiles& files,
             std::string& strWhy) {
    std::string strAuth = "NoClientCert";
    const bool bRead = ForEachKey(
        doc, pNode, "tls_server_config",
        [&](const std::string& strKey, yaml_node_t* pValue, std::string& strError) {
            const std::string strValue = Scalar(doc, pValue);
            if (strKey == "cert_file")
                files.strCertFile = strValue;
            else if (strKey == "key_file")
                files.strKeyFile = strValue;
            else if (strKey == "cert")
                access.strCertPem = strValue;
            else if (strKey == "key")
                access.strKeyPem = strValue;
            else if (strKey == "client_ca_file")
                access.strClientCaFile = strValue;
            else if (strKey == "client_auth_type")
                strAuth = strValue;
            else if (strKey == "min_version" || strKey == "max_version") {
                const int nVersion = TlsVersion(strValue);
                if (nVersion < 0)
                    strError = "tls_server_config." + strKey + " '" + strValue + "' is not TLS10 to TLS13";
                (strKey == "min_version" ? access.nMinTls : access.nMaxTls) = nVersion;
                return nVersion >= 0;
            } else if (strKey == "cipher_suites" || strKey == "curve_preferences" ||
                       strKey == "prefer_server_cipher_suites" || strKey == "client_allowed_sans") {
                strError = "tls_server_config." + strKey + " is not supported here (GLib's TLS chooses them)";
                return false;
            } else
                return false;
            return true;
        },
        strWhy);
    if (!bRead) return false;
    // exporter-toolkit's names of Go's client authentication policies.
    static const std::map<std::string, std::array<bool, 3>> policies{
        {"NoClientCert", {false, false, false}},
        {"RequestClientCert", {true, false, false}},
        {"RequireAnyClientCert", {true, true, false}},
        {"VerifyClientCertIfGiven", {true, false, true}},
        {"RequireAndVerifyClientCert", {true, true, true}}};
    const auto it = policies.find(strAuth);
    if (it == policies.end()) {
        strWhy = "tls_server_config.client_auth_type '" + strAuth + "' is not one of exporter-toolkit's";
        return false;
    }
    std::tie(access.bAskClientCert, access.bRequireClientCert, access.bVerifyClientCert) =
        std::tuple(it->second[0], it->second[1], it->second[2]);
    if (access.bVerifyClientCert && access.strClientCaFile.empty()) {
        strWhy = "tls_server_config.client_auth_type " + strAuth + " needs client_ca_file";
        return false;
    }
    return true;
}

bool ReadHttp(yaml_document_t& doc, yaml_node_t* pNode, HttpServeAccess& access, std::string& strWhy) {
    // The headers exporter-toolkit lets a configuration set.
    static const std::set<std::string> allowed{"Strict-Transport-Security", "X-Content-Type-Options",
                                               "X-Frame-Options", "X-XSS-Protection",
                                               "Content-Security-Policy"};
    return ForEachKey(
        doc, pNode, "http_server_config",
        [&](const std::string& strKey, yaml_node_t* pValue, std::string& strError) {
            if (strKey == "http2") return true;  // HTTP/1.1 is all this server speaks
            if (strKey != "headers") return false;
            return ForEachKey(
                doc, pValue, "http_server_config.headers",
                [&](const std::string& strName, yaml_node_t* pHeader, std::string& strBad) {
                    const std::string strValue = Scalar(doc, pHeader);
                    if (!allowed.contains(strName) || strValue.find_first_of("\r\n") != std::string::npos) {
                        strBad = "http_server_config.headers cannot set '" + strName + "'";
                        return false;
                    }
                    access.aHeaders.emplace_back(strName, strValue);
                    return true;
                },
                strError);
        },
        strWhy);
}

bool ReadUsers(yaml_document_t& doc, yaml_node_t* pNode, HttpServeAccess& access, std::string& strWhy) {
    return ForEachKey(
        doc, pNode, "basic_auth_users",
        [&](const std::string& strUser, yaml_node_t* pValue, std::string& strError) {
            const std::string strHash = Scalar(doc, pValue);
            if (strUser.empty() || strUser.find(':') != std::string::npos || !strHash.starts_with("$2") ||
                strHash.size() != 60) {
                strError = "basic_auth_users." + strUser + " is not a name with a bcrypt hash";
                return false;
            }
            access.users[strUser] = strHash;
            return true;
        },
        strWhy);
}

// The certificate and key from their files, which others must not read.
bool ReadTlsFiles(const TlsFiles& files, HttpServeAccess& access, std::string& strWhy) {
    if (!files.strCertFile.empty() && !ReadText(files.strCertFile, access.strCertPem, strWhy)) return false;
    if (!files.strKeyFile.empty()) {
        if (OthersRead(files.strKeyFile)) {
            strWhy = files.strKeyFile + " holds a private key and others can read it";
            return false;
        }
        if (!ReadText(files.strKeyFile, access.strKeyPem, strWhy)) return false;
    }
    if (access.strCertPem.empty() != access.strKeyPem.empty()) {
        strWhy = "tls_server_config needs a certificate and its key";
        return false;
    }
    return true;
}

}  // namespace

bool ReadWebConfig(const std::string& strPath, HttpServeAccess& access, std::string& strWhy) {
    std::string strText;
    if (!ReadText(strPath, strText, strWhy)) return false;
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(strText.data()),
                                 strText.size());
    Parsed parsed;
    parsed.bLoaded = yaml_parser_load(&parser, &parsed.document) != 0;
    if (!parsed.bLoaded) {
        strWhy = strPath + ": " + (parser.problem ? parser.problem : "not YAML") + " at line " +
                 std::to_string(parser.problem_mark.line + 1);
        yaml_parser_delete(&parser);
        return false;
    }
    yaml_parser_delete(&parser);
    yaml_document_t& doc = parsed.document;
    TlsFiles files;
    const bool bRead = ForEachKey(
        doc, yaml_document_get_root_node(&doc), strPath,
        [&](const std::string& strKey, yaml_node_t* pValue, std::string& strError) {
            if (strKey == "tls_server_config") return ReadTls(doc, pValue, access, files, strError);
            if (strKey == "http_server_config") return ReadHttp(doc, pValue, access, strError);
            if (strKey == "basic_auth_users") return ReadUsers(doc, pValue, access, strError);
            if (strKey == "rate_limit") strError = "rate_limit is not supported here";
            return false;
        },
        strWhy);
    if (!bRead) return false;
    if ((!access.strKeyPem.empty() || !access.users.empty()) && OthersRead(strPath)) {
        strWhy = strPath + " holds a key or a password hash and others can read it";
        return false;
    }
    if (!ReadTlsFiles(files, access, strWhy)) return false;
    if (access.strCertPem.empty() && (access.bAskClientCert || !access.strClientCaFile.empty())) {
        strWhy = "client certificates need tls_server_config's certificate and key";
        return false;
    }
    return true;
}
