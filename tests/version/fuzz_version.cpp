// Arbitrary bytes, read both as a whole executable file (ELF or PE) and as a
// bare version block: no input may read outside it, hang or crash.
#include <cstddef>
#include <cstdint>
#include <span>

#include "file_version_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::span<const uint8_t> bytes(pData, nSize);
    // The last byte picks the user's language among a few that take
    // different steps of the translation choice.
    static constexpr uint16_t aLanguages[] = {0x0409, 0x0407, 0x0809, 0x040C, 0x0000, 0x0004};
    const uint16_t nLanguage = nSize == 0 ? 0x0409 : aLanguages[pData[nSize - 1] % std::size(aLanguages)];

    CFileVersionInfo info;
    info.CreateFromImage(bytes, nLanguage);
    info.CreateFromBlock(bytes, nLanguage);
    return 0;
}
