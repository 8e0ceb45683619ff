// The printers a scan has found, one per IP address, in the order of adding,
// and the one text comparison the program uses for addresses, names, sorting
// and the status text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One listed printer.
struct PrinterData {
    std::u16string strName;
    std::u16string strIpAddress;  // the key of the list
    std::u16string strUrl;
    // Where it came from (see MulticastDataPacket); not shown in the window.
    int32_t nKind = -1;
    std::u16string strType{};
    std::u16string strModel{};
};

// Case-insensitive ordinal comparison: only 'A'..'Z' fold to 'a'..'z', then
// UTF-16 code units compare as unsigned numbers; a text that ends first is
// the smaller. Negative, 0 or positive. Digits compare as characters, so
// "10.0.0.10" sorts before "10.0.0.9".
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// Hash and equality that agree with CompareNoCase()'s equality.
struct CNoCaseHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view str) const noexcept;
};
struct CNoCaseEqual {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const noexcept {
        return CompareNoCase(a, b) == 0;
    }
};

class CPrinterList {
public:
    // Appends the printer unless its address is listed already (the listed
    // entry keeps its name and URL). Writes "Printer added to list (%s, %s)".
    // True when it was appended.
    bool AddPrinter(const PrinterData& printer);

    void RemoveAll();

    int32_t GetCount() const { return static_cast<int32_t>(m_aPrinters.size()); }
    const PrinterData& GetAt(int32_t nIndex) const { return m_aPrinters[static_cast<size_t>(nIndex)]; }
    const std::vector<PrinterData>& GetPrinters() const { return m_aPrinters; }

    // The entry whose address compares equal, or null.
    const PrinterData* FindByAddress(std::u16string_view strIpAddress) const;

private:
    std::vector<PrinterData> m_aPrinters;
    // Listed addresses -> position in m_aPrinters. Keeps the duplicate check
    // constant-time: the scan re-merges the whole packet list every tick.
    std::unordered_map<std::u16string, size_t, CNoCaseHash, CNoCaseEqual> m_mapByAddress;
};
