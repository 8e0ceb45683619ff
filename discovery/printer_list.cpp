#include "printer_list.h"

#include "trace_log.h"

namespace {

inline char16_t Fold(char16_t ch) {
    return (ch >= u'A' && ch <= u'Z') ? static_cast<char16_t>(ch + 32) : ch;
}

}  // namespace

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    const size_t nCommon = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < nCommon; ++i) {
        // char16_t is unsigned, so the difference orders code units as numbers.
        const int nDiff = static_cast<int>(Fold(a[i])) - static_cast<int>(Fold(b[i]));
        if (nDiff != 0) return nDiff;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

size_t CNoCaseHash::operator()(std::u16string_view str) const noexcept {
    // FNV-1a over the folded code units.
    uint64_t nHash = 14695981039346656037ull;
    for (char16_t ch : str) {
        nHash ^= static_cast<uint64_t>(Fold(ch));
        nHash *= 1099511628211ull;
    }
    return static_cast<size_t>(nHash);
}

bool CPrinterList::AddPrinter(const PrinterData& printer) {
    if (m_mapByAddress.find(std::u16string_view(printer.strIpAddress)) != m_mapByAddress.end()) return false;
    TraceMessage(TRACE_INFO, nullptr, u"Printer added to list (%s, %s)", printer.strName,
                 printer.strIpAddress);
    m_aPrinters.push_back(printer);
    m_mapByAddress.emplace(printer.strIpAddress, m_aPrinters.size() - 1);
    return true;
}

void CPrinterList::RemoveAll() {
    m_aPrinters.clear();
    m_mapByAddress.clear();
}

const PrinterData* CPrinterList::FindByAddress(std::u16string_view strIpAddress) const {
    auto it = m_mapByAddress.find(strIpAddress);
    return it == m_mapByAddress.end() ? nullptr : &m_aPrinters[it->second];
}
