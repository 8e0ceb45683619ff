// The TSIG key of hvl-scan --publish, in the form tsig-keygen writes and
// nsupdate -k reads: key "NAME" { algorithm hmac-sha256; secret "..."; };
#pragma once

#include <string>

struct TsigKey {
    std::string strName;       // "floor3-publisher."
    std::string strAlgorithm;  // as ldns names it: "hmac-sha256."
    std::string strSecret;     // base64, never printed
};

// Reads the file's first key; false with the reason in strWhy (which never
// holds the secret). A file that its group or others may read is refused:
// the key lets its holder rewrite the domain.
bool ReadTsigKeyFile(const std::string& strPath, TsigKey& key, std::string& strWhy);

// The same from the file's text (strPath names it in the reasons).
bool ParseTsigKey(const std::string& strText, const std::string& strPath, TsigKey& key, std::string& strWhy);
