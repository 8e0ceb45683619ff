// The UPnP discovery provider: one bounded SSDP search for every device,
// one complete packet for each printer device found.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "multicast_data_provider.h"
#include "upnp_device_finder.h"

// Longest texts a device may put into a packet or the trace log, in UTF-16
// units; longer ones are cut.
constexpr size_t UPNP_MAX_NAME_UNITS = 256;
constexpr size_t UPNP_MAX_URL_UNITS = 2048;

// What a device found by the finder gives the provider.
enum class UPnPPacketResult {
    NOT_PRINTER,  // not a printer type: skipped without a word
    NO_ADDRESS,   // no valid address (in the document URL): packet.strName is set
    MADE,         // packet is complete, ready to append
};

// Where a packet's address comes from: the window cuts it out of the
// document URL with the address pattern; hvl-scan's live scan takes the
// address the description was fetched from, which is the device's own.
enum class UPnPAddressFrom { DOCUMENT_URL, SENDER };

// The packet of one device: its name, its address (a valid dotted IPv4
// address, else NO_ADDRESS) and its model URL, all made fit for the list and
// the trace. Touches nothing but `packet`.
UPnPPacketResult MakeUPnPPacket(const UPnPDevice& device, MulticastDataPacket& packet,
                                UPnPAddressFrom nFrom = UPnPAddressFrom::DOCUMENT_URL);

class CUPnPFinder : public CMulticastDataProvider {
public:
    explicit CUPnPFinder(std::vector<std::u16string> aNamesToQuery = {u"ssdp:all"},
                         std::chrono::milliseconds timeLimit = std::chrono::seconds(30));
    ~CUPnPFinder() override;

    // Asks anew at every call, so an interface that comes up later is noticed.
    int32_t IsAvailable() override;

    // A printer: a type that contains "upnp:printer", or the standard printer
    // device type "urn:schemas-upnp-org:device:Printer:<version>".
    static bool IsPrinterType(std::u16string_view strType);

protected:
    void Search() override;

    // The device finder's two operations, as seams for tests.
    virtual uint32_t CreateFinder();
    virtual uint32_t FindByType(const std::u16string& strTarget, std::vector<UPnPDevice>& aDevices);

    // One packet per printer device, appended under the packet lock.
    void HandleDevice(const UPnPDevice& device);
};
