#include "publish_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>

namespace {

constexpr size_t MAX_KEY_FILE = 64 * 1024;

std::string Lower(std::string strName) {
    std::transform(strName.begin(), strName.end(), strName.begin(), ::tolower);
    if (!strName.empty() && strName.back() == '.') strName.pop_back();
    return strName;
}

// HMAC-SHA256 and stronger: MD5 and SHA-1 keys are refused. ldns 1.8.3
// looks hmac-sha384 up as "hmac-shac384." and so cannot sign with it.
const char* LdnsAlgorithm(const std::string& strName) {
    for (const char* psz : {"hmac-sha256", "hmac-sha512"}) {
        if (Lower(strName) == psz) return psz;
    }
    return nullptr;
}

// named.conf's comments (C, C++ and shell style) as spaces; quoted text
// (a secret's base64 may hold "//") is kept.
std::string WithoutComments(const std::string& strText) {
    std::string strOut;
    bool bQuoted = false;
    for (size_t i = 0; i < strText.size(); ++i) {
        const char c = strText[i];
        if (c == '"') bQuoted = !bQuoted;
        if (!bQuoted && (c == '#' || strText.compare(i, 2, "//") == 0)) {
            i = std::min(strText.find('\n', i), strText.size()) - 1;
            strOut.push_back(' ');
        } else if (!bQuoted && strText.compare(i, 2, "/*") == 0) {
            const size_t nEnd = strText.find("*/", i + 2);
            i = nEnd == std::string::npos ? strText.size() : nEnd + 1;
            strOut.push_back(' ');
        } else {
            strOut.push_back(c);
        }
    }
    return strOut;
}

}  // namespace

bool ParseTsigKey(const std::string& strRaw, const std::string& strPath, TsigKey& key, std::string& strWhy) {
    const std::string strText = WithoutComments(strRaw);
    static const std::regex keyBlock(R"re(key\s+"?([A-Za-z0-9._-]+)"?\s*\{([^}]*)\})re");
    static const std::regex algorithm(R"re(algorithm\s+"?([A-Za-z0-9.-]+)"?\s*;)re");
    static const std::regex secret(R"re(secret\s+"([A-Za-z0-9+/=]+)"\s*;)re");
    std::smatch block, alg, sec;
    if (!std::regex_search(strText, block, keyBlock)) {
        strWhy = strPath + " holds no key block (key \"NAME\" { algorithm ...; secret \"...\"; };)";
        return false;
    }
    const std::string strBody = block[2].str();
    if (!std::regex_search(strBody, alg, algorithm) || !std::regex_search(strBody, sec, secret)) {
        strWhy = "the key in " + strPath + " needs an algorithm and a secret";
        return false;
    }
    const char* pszAlgorithm = LdnsAlgorithm(alg[1].str());
    if (!pszAlgorithm && Lower(alg[1].str()) == "hmac-sha384") {
        strWhy = "the key in " + strPath +
                 " uses hmac-sha384, which this system's ldns cannot sign with (ldns 1.8.3 misspells its "
                 "name); make one with hmac-sha256 or hmac-sha512 (tsig-keygen -a hmac-sha256 NAME)";
        return false;
    }
    if (!pszAlgorithm) {
        strWhy = "the key in " + strPath + " uses " + alg[1].str() +
                 "; make one with hmac-sha256 or stronger (tsig-keygen -a hmac-sha256 NAME)";
        return false;
    }
    key.strName = block[1].str();
    if (key.strName.back() != '.') key.strName += '.';
    key.strAlgorithm = std::string(pszAlgorithm) + ".";
    key.strSecret = sec[1].str();
    return true;
}

bool ReadTsigKeyFile(const std::string& strPath, TsigKey& key, std::string& strWhy) {
    const int hFile = open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (hFile < 0) {
        strWhy = "cannot read the key file " + strPath + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    std::string strText;
    if (fstat(hFile, &info) != 0 || !S_ISREG(info.st_mode)) {
        strWhy = "the key file " + strPath + " is not a regular file";
    } else if ((info.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
        strWhy = "the key file " + strPath +
                 " may be read or written by its group or others, and the key lets its holder change the "
                 "domain: chmod 600 it";
    } else {
        char buf[4096];
        ssize_t n;
        while ((n = read(hFile, buf, sizeof buf)) > 0 && strText.size() < MAX_KEY_FILE)
            strText.append(buf, n);
        if (n < 0) strWhy = "cannot read the key file " + strPath + ": " + std::strerror(errno);
    }
    close(hFile);
    return strWhy.empty() && ParseTsigKey(strText, strPath, key, strWhy);
}
