// The user's default language as a Windows language identifier, from the
// POSIX locale: primary language in the low 10 bits, sublanguage (mostly
// the territory) above them.
#include <cstdlib>
#include <string>
#include <string_view>

#include "version_resource.h"

namespace {

struct PrimaryLanguage {
    const char* pszIso;
    uint16_t nPrimary;
};

// ISO 639 code -> primary language identifier.
constexpr PrimaryLanguage PRIMARY_LANGUAGES[] = {
    {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06}, {"de", 0x07},
    {"el", 0x08}, {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C}, {"he", 0x0D}, {"hu", 0x0E},
    {"is", 0x0F}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12}, {"nl", 0x13}, {"nb", 0x14}, {"nn", 0x14},
    {"no", 0x14}, {"pl", 0x15}, {"pt", 0x16}, {"rm", 0x17}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1A},
    {"sr", 0x1A}, {"bs", 0x1A}, {"sk", 0x1B}, {"sq", 0x1C}, {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F},
    {"ur", 0x20}, {"id", 0x21}, {"uk", 0x22}, {"be", 0x23}, {"sl", 0x24}, {"et", 0x25}, {"lv", 0x26},
    {"lt", 0x27}, {"fa", 0x29}, {"vi", 0x2A}, {"hy", 0x2B}, {"az", 0x2C}, {"eu", 0x2D}, {"mk", 0x2F},
    {"af", 0x36}, {"ka", 0x37}, {"fo", 0x38}, {"hi", 0x39}, {"mt", 0x3A}, {"ga", 0x3C}, {"ms", 0x3E},
    {"kk", 0x3F}, {"sw", 0x41}, {"uz", 0x43}, {"bn", 0x45}, {"pa", 0x46}, {"gu", 0x47}, {"ta", 0x49},
    {"te", 0x4A}, {"kn", 0x4B}, {"ml", 0x4C}, {"mr", 0x4E}, {"mn", 0x50}, {"cy", 0x52}, {"km", 0x53},
    {"lo", 0x54}, {"gl", 0x56}, {"am", 0x5E}, {"ne", 0x61}, {"fy", 0x62}, {"ps", 0x63}, {"fil", 0x64},
};

struct Sublanguage {
    uint16_t nPrimary;
    const char* pszTerritory;  // nullptr: the sublanguage without a territory
    uint16_t nSub;
};

// Sublanguages that differ from the default (1) or that a language takes
// without a territory; any other territory gets the default.
constexpr Sublanguage SUBLANGUAGES[] = {
    // Arabic
    {0x01, "IQ", 0x02},
    {0x01, "EG", 0x03},
    {0x01, "LY", 0x04},
    {0x01, "DZ", 0x05},
    {0x01, "MA", 0x06},
    {0x01, "TN", 0x07},
    {0x01, "OM", 0x08},
    {0x01, "YE", 0x09},
    {0x01, "SY", 0x0A},
    {0x01, "JO", 0x0B},
    {0x01, "LB", 0x0C},
    {0x01, "KW", 0x0D},
    {0x01, "AE", 0x0E},
    {0x01, "BH", 0x0F},
    {0x01, "QA", 0x10},
    // Chinese: Taiwan is the default sublanguage, mainland China the second.
    {0x04, nullptr, 0x02},
    {0x04, "CN", 0x02},
    {0x04, "HK", 0x03},
    {0x04, "SG", 0x04},
    {0x04, "MO", 0x05},
    // German
    {0x07, "CH", 0x02},
    {0x07, "AT", 0x03},
    {0x07, "LU", 0x04},
    {0x07, "LI", 0x05},
    // English
    {0x09, "GB", 0x02},
    {0x09, "AU", 0x03},
    {0x09, "CA", 0x04},
    {0x09, "NZ", 0x05},
    {0x09, "IE", 0x06},
    {0x09, "ZA", 0x07},
    {0x09, "JM", 0x08},
    {0x09, "BZ", 0x0A},
    {0x09, "TT", 0x0B},
    {0x09, "ZW", 0x0C},
    {0x09, "PH", 0x0D},
    {0x09, "IN", 0x10},
    {0x09, "MY", 0x11},
    {0x09, "SG", 0x12},
    // Spanish: Spain is the modern sort (3).
    {0x0A, nullptr, 0x03},
    {0x0A, "ES", 0x03},
    {0x0A, "MX", 0x02},
    {0x0A, "GT", 0x04},
    {0x0A, "CR", 0x05},
    {0x0A, "PA", 0x06},
    {0x0A, "DO", 0x07},
    {0x0A, "VE", 0x08},
    {0x0A, "CO", 0x09},
    {0x0A, "PE", 0x0A},
    {0x0A, "AR", 0x0B},
    {0x0A, "EC", 0x0C},
    {0x0A, "CL", 0x0D},
    {0x0A, "UY", 0x0E},
    {0x0A, "PY", 0x0F},
    {0x0A, "BO", 0x10},
    {0x0A, "SV", 0x11},
    {0x0A, "HN", 0x12},
    {0x0A, "NI", 0x13},
    {0x0A, "PR", 0x14},
    {0x0A, "US", 0x15},
    // French
    {0x0C, "BE", 0x02},
    {0x0C, "CA", 0x03},
    {0x0C, "CH", 0x04},
    {0x0C, "LU", 0x05},
    {0x0C, "MC", 0x06},
    // Italian, Dutch, Portuguese (Brazil is the default), Swedish
    {0x10, "CH", 0x02},
    {0x13, "BE", 0x02},
    {0x16, "PT", 0x02},
    {0x1D, "FI", 0x02},
    // Malay
    {0x3E, "BN", 0x02},
};

// Sublanguages that come from the language code itself.
struct LanguageVariant {
    const char* pszIso;
    uint16_t nSub;
};
constexpr LanguageVariant LANGUAGE_VARIANTS[] = {
    {"nn", 0x02},  // Norwegian Nynorsk
    {"sr", 0x03},  // Serbian (Cyrillic)
    {"bs", 0x05},  // Bosnian (Latin)
};

uint16_t MakeLangId(uint16_t nPrimary, uint16_t nSub) {
    return static_cast<uint16_t>(nSub << 10 | nPrimary);
}

}  // namespace

uint16_t LangIdFromLocaleName(std::string_view strLocale) {
    // language[_territory][.codeset][@modifier]
    const std::size_t nCut = strLocale.find_first_of(".@");
    if (nCut != std::string_view::npos) strLocale = strLocale.substr(0, nCut);
    if (strLocale.empty() || strLocale == "C" || strLocale == "POSIX") return MakeLangId(0x09, 0x01);

    std::string strLanguage(strLocale.substr(0, strLocale.find('_')));
    std::string strTerritory;
    if (strLanguage.size() < strLocale.size()) strTerritory = strLocale.substr(strLanguage.size() + 1);
    for (char& c : strLanguage) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    for (char& c : strTerritory) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;

    uint16_t nPrimary = 0;
    for (const PrimaryLanguage& lang : PRIMARY_LANGUAGES) {
        if (strLanguage == lang.pszIso) {
            nPrimary = lang.nPrimary;
            break;
        }
    }
    if (nPrimary == 0) return 0;

    for (const LanguageVariant& v : LANGUAGE_VARIANTS) {
        if (strLanguage == v.pszIso) return MakeLangId(nPrimary, v.nSub);
    }
    uint16_t nSub = 0x01;
    for (const Sublanguage& s : SUBLANGUAGES) {
        if (s.nPrimary != nPrimary) continue;
        if (s.pszTerritory == nullptr ? strTerritory.empty() : strTerritory == s.pszTerritory) {
            nSub = s.nSub;
            break;
        }
    }
    return MakeLangId(nPrimary, nSub);
}

uint16_t GetUserDefaultLangID() {
    // The same precedence the C library uses for the messages category.
    for (const char* pszName : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* pszValue = std::getenv(pszName);
        if (pszValue != nullptr && *pszValue != '\0') return LangIdFromLocaleName(pszValue);
    }
    return LangIdFromLocaleName("");
}
