// Runs one UPnP search where it is started and prints what it found, for the
// lab tests and for looking at a lab by hand. Refuses to run in the machine's
// own network namespace: it would search the real network.
//
//   upnp_probe [N]        the device finder (N searches): one "device" line per device
//   upnp_probe provider   the provider: one "packet" line per packet
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "conv_string.h"
#include "lab_guard.h"
#include "upnp_device_finder.h"
#include "upnp_finder.h"

int main(int argc, char** argv) {
    if (!InLabNamespace()) {
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
    // "upnp_probe N": N searches one after the other in this process.
    const int nSearches = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    uint32_t nCode = 0;
    for (int i = 0; i < nSearches; ++i) {
        CUPnPDeviceFinder finder;
        std::vector<UPnPDevice> aDevices;
        nCode = finder.FindByType("ssdp:all", aDevices);
        std::printf("elapsed %ld\ncode 0x%08X\n", elapsedMs(), nCode);
        for (const UPnPDevice& d : aDevices) {
            std::printf("device\t%s\t%s\t%s\t%s\t%s\n", d.strType.c_str(), d.strFriendlyName.c_str(),
                        d.strUdn.c_str(), d.strModelUrl.c_str(), d.strDocumentUrl.c_str());
        }
    }
    return nCode == 0 ? 0 : 1;
}
