// Which discovery methods take part in a scan, kept in "hvl.cfg".
#pragma once

#include <cstdint>

struct SearchOptions {
    int32_t bMdnsEnabled = 1;
    int32_t bUpnpEnabled = 1;

    // Both return 1 when the file could be used, 0 otherwise (and trace why).
    // Without a directory they use the current directory. Save writes through
    // a link named "hvl.cfg" only where the kernel's protected-symlinks rule
    // would follow it, writes nothing but a regular file, and returns within
    // about a second whatever the file system does.
    int32_t Load();
    int32_t Save() const;
    int32_t Load(const char* pszDirectory);
    int32_t Save(const char* pszDirectory) const;
};
