// Runs one UPnP search where it is started and prints what it found, for the
// lab tests and for looking at a lab by hand. Refuses to run in the machine's
// own network namespace: it would search the real network.
//
//   upnp_probe            the device finder: one "device" line per device
//   upnp_probe provider   the provider: one "packet" line per packet
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "conv_string.h"
#include "upnp_device_finder.h"
#include "upnp_finder.h"

namespace {

// Safe only inside a namespace the lab created: one that is bound under
// /run/netns with the lab's "hvl-" prefix. Anything else (including the
// machine's own namespace) is refused.
bool InMachineNamespace() {
    struct stat own {};
    if (stat("/proc/self/ns/net", &own) != 0) return true;
    DIR* pDir = opendir("/run/netns");
    if (!pDir) return true;
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
    return !bLab;
}

}  // namespace

int main(int argc, char** argv) {
    if (InMachineNamespace()) {
        std::fprintf(stderr, "upnp_probe: run it inside a lab namespace\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    auto elapsedMs = [&] {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count());
    };
    if (argc > 1 && std::strcmp(argv[1], "provider") == 0) {
        CUPnPFinder finder;
        if (!finder.IsAvailable()) return 1;
        finder.ResetData();
        finder.StartSearch();
        while (finder.IsSearching()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::printf("elapsed %ld\nstatus 0x%08X\n", elapsedMs(), static_cast<unsigned>(finder.GetStatus()));
        const int32_t nCount = CMulticastDataProvider::GetPacketCount();
        for (int32_t i = 0; i < nCount; ++i) {
            MulticastDataPacket packet;
            if (!CMulticastDataProvider::GetPacket(i, packet)) continue;
            std::printf("packet\t%s\t%s\t%s\t%d\n", Utf16ToUtf8(packet.strName).c_str(),
                        Utf16ToUtf8(packet.strIpAddress).c_str(), Utf16ToUtf8(packet.strUrl).c_str(),
                        packet.bComplete);
        }
        return 0;
    }
    CUPnPDeviceFinder finder;
    std::vector<UPnPDevice> aDevices;
    const uint32_t nCode = finder.FindByType("ssdp:all", aDevices);
    std::printf("elapsed %ld\ncode 0x%08X\n", elapsedMs(), nCode);
    for (const UPnPDevice& d : aDevices) {
        std::printf("device\t%s\t%s\t%s\t%s\t%s\n", d.strType.c_str(), d.strFriendlyName.c_str(),
                    d.strUdn.c_str(), d.strModelUrl.c_str(), d.strDocumentUrl.c_str());
    }
    return nCode == 0 ? 0 : 1;
}
