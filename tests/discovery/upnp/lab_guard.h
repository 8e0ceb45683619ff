// Whether the calling thread runs inside a namespace the test lab created:
// one bound under /run/netns with the lab's "hvl-" prefix. Searches are only
// ever started where this holds; the machine's own namespace never passes.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

inline bool InLabNamespace() {
    struct stat own {};
    // The thread's own view: after setns() only this thread has moved.
    if (stat("/proc/thread-self/ns/net", &own) != 0) return false;
    DIR* pDir = opendir("/run/netns");
    if (!pDir) return false;
    bool bLab = false;
    while (struct dirent* pEntry = readdir(pDir)) {
        if (std::strncmp(pEntry->d_name, "hvl-", 4) != 0) continue;
        struct stat entry {};
        const std::string strPath = std::string("/run/netns/") + pEntry->d_name;
        if (stat(strPath.c_str(), &entry) == 0 && entry.st_ino == own.st_ino && entry.st_dev == own.st_dev) {
            bLab = true;
        }
    }
    closedir(pDir);
    return bLab;
}
