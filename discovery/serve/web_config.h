// --serve-config: exporter-toolkit's web configuration file, the one every
// Prometheus exporter reads (--web.config.file), with the same keys and
// meanings: tls_server_config, http_server_config's headers and
// basic_auth_users with bcrypt hashes.
#pragma once

#include <string>

#include "http_serve.h"

// False, with why, when the file cannot be read or parsed, is readable by
// others while it holds a key or a password hash, names a key file others
// can read, or has a key this server does not know or cannot honour.
bool ReadWebConfig(const std::string& strPath, HttpServeAccess& access, std::string& strWhy);
