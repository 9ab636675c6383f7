// Text encodings as numbers, and the Script Manager's view of the system
// script and region.
//
// A Mac text encoding packs a base (the script's own encoding for the Mac
// scripts, so script code N is base N), a variant and a format into 32 bits.
// The system script and region are not configured anywhere on Linux; they are
// read from the process's locale (`ja_JP.UTF-8` gives the Japanese script and
// the Japan region), with Roman/US as the fall-back for "C", "POSIX" and
// anything we do not know. Tests replace both through the fault seam's
// overrides "GetScriptManagerVariable.18" and "GetScriptManagerVariable.40".
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "vantrel/TextEncoding.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("UpgradeScriptInfoToTextEncoding", "GetScriptManagerVariable.18",
                         "GetScriptManagerVariable.22", "GetScriptManagerVariable.40");

namespace {

// Mac region codes used below (the Script Manager's verXxx values).
enum : RegionCode {
    kUS = 0,
    kFrance = 1,
    kBritain = 2,
    kGermany = 3,
    kItaly = 4,
    kNetherlands = 5,
    kFlemish = 6,
    kSweden = 7,
    kSpain = 8,
    kDenmark = 9,
    kPortugal = 10,
    kFrCanada = 11,
    kNorway = 12,
    kIsrael = 13,
    kJapan = 14,
    kAustralia = 15,
    kArabic = 16,
    kFinland = 17,
    kFrSwiss = 18,
    kGrSwiss = 19,
    kGreece = 20,
    kIceland = 21,
    kMalta = 22,
    kCyprus = 23,
    kTurkey = 24,
    kIndiaHindi = 33,
    kPakistanUrdu = 34,
    kItalianSwiss = 36,
    kRomania = 39,
    kLithuania = 41,
    kPoland = 42,
    kHungary = 43,
    kEstonia = 44,
    kLatvia = 45,
    kIran = 48,
    kRussia = 49,
    kIreland = 50,
    kKorea = 51,
    kChina = 52,
    kTaiwan = 53,
    kThailand = 54,
    kCzech = 56,
    kSlovak = 57,
    kBelarus = 61,
    kUkraine = 62,
    kSerbian = 65,
    kSlovenian = 66,
    kMacedonian = 67,
    kCroatia = 68,
    kBrazil = 71,
    kBulgaria = 72,
};

// Mac scripts beyond those TextEncoding.h names.
enum : ScriptCode { kDevanagari = 9, kThai = 21, kLastScript = 32 };

struct Region {
    RegionCode code;
    ScriptCode script;      // the only script this region is combined with
    TextEncodingBase base;  // the encoding it gives: the script's own, or a regional variant
};

constexpr Region kRegions[] = {
    {kUS, smRoman, kTextEncodingMacRoman},
    {kFrance, smRoman, kTextEncodingMacRoman},
    {kBritain, smRoman, kTextEncodingMacRoman},
    {kGermany, smRoman, kTextEncodingMacRoman},
    {kItaly, smRoman, kTextEncodingMacRoman},
    {kNetherlands, smRoman, kTextEncodingMacRoman},
    {kFlemish, smRoman, kTextEncodingMacRoman},
    {kSweden, smRoman, kTextEncodingMacRoman},
    {kSpain, smRoman, kTextEncodingMacRoman},
    {kDenmark, smRoman, kTextEncodingMacRoman},
    {kPortugal, smRoman, kTextEncodingMacRoman},
    {kFrCanada, smRoman, kTextEncodingMacRoman},
    {kNorway, smRoman, kTextEncodingMacRoman},
    {kIsrael, smHebrew, kTextEncodingMacHebrew},
    {kJapan, smJapanese, kTextEncodingMacJapanese},
    {kAustralia, smRoman, kTextEncodingMacRoman},
    {kArabic, smArabic, kTextEncodingMacArabic},
    {kFinland, smRoman, kTextEncodingMacRoman},
    {kFrSwiss, smRoman, kTextEncodingMacRoman},
    {kGrSwiss, smRoman, kTextEncodingMacRoman},
    {kGreece, smGreek, kTextEncodingMacGreek},
    {kIceland, smRoman, kTextEncodingMacIcelandic},
    {kMalta, smRoman, kTextEncodingMacRoman},
    {kCyprus, smGreek, kTextEncodingMacGreek},
    {kTurkey, smRoman, kTextEncodingMacTurkish},
    {kIndiaHindi, kDevanagari, kDevanagari},
    {kPakistanUrdu, smArabic, kTextEncodingMacArabic},
    {kItalianSwiss, smRoman, kTextEncodingMacRoman},
    {kRomania, smRoman, kTextEncodingMacRomanian},
    {kLithuania, smCentralEuroRoman, kTextEncodingMacCentralEurRoman},
    {kPoland, smCentralEuroRoman, kTextEncodingMacCentralEurRoman},
    {kHungary, smCentralEuroRoman, kTextEncodingMacCentralEurRoman},
    {kEstonia, smCentralEuroRoman, kTextEncodingMacCentralEurRoman},
    {kLatvia, smCentralEuroRoman, kTextEncodingMacCentralEurRoman},
    {kIran, smArabic, kTextEncodingMacArabic},
    {kRussia, smCyrillic, kTextEncodingMacCyrillic},
    {kIreland, smRoman, kTextEncodingMacRoman},
    {kKorea, smKorean, kTextEncodingMacKorean},
    {kChina, smSimpChinese, kTextEncodingMacChineseSimp},
    {kTaiwan, smTradChinese, kTextEncodingMacChineseTrad},
    {kThailand, kThai, kThai},
    {kCzech, smCentralEuroRoman, kTextEncodingMacCentralEurRoman},
    {kSlovak, smCentralEuroRoman, kTextEncodingMacCentralEurRoman},
    {kBelarus, smCyrillic, kTextEncodingMacCyrillic},
    {kUkraine, smCyrillic, kTextEncodingMacUkrainian},
    {kSerbian, smCyrillic, kTextEncodingMacCyrillic},
    {kSlovenian, smRoman, kTextEncodingMacCroatian},
    {kMacedonian, smCyrillic, kTextEncodingMacCyrillic},
    {kCroatia, smRoman, kTextEncodingMacCroatian},
    {kBrazil, smRoman, kTextEncodingMacRoman},
    {kBulgaria, smCyrillic, kTextEncodingMacCyrillic},
};

const Region* find_region(RegionCode code) {
    for (const Region& r : kRegions)
        if (r.code == code) return &r;
    return nullptr;
}

// Mac language codes (langXxx) that imply a script when the caller names no
// script and no region.
struct Language {
    LangCode code;
    ScriptCode script;
};
constexpr Language kLanguages[] = {
    {10, smHebrew},           {11, smJapanese},
    {12, smArabic},           {14, smGreek},
    {19, smTradChinese},      {20, smArabic},
    {21, kDevanagari},        {22, kThai},
    {23, smKorean},           {24, smCentralEuroRoman},
    {25, smCentralEuroRoman}, {26, smCentralEuroRoman},
    {27, smCentralEuroRoman}, {28, smCentralEuroRoman},
    {31, smArabic},           {32, smCyrillic},
    {33, smSimpChinese},      {38, smCentralEuroRoman},
    {39, smCentralEuroRoman}, {45, smCyrillic},
    {46, smCyrillic},
};

// ---------------------------------------------------------------- locale

struct LocaleParts {
    std::string language;   // "ja"
    std::string territory;  // "JP"
};

LocaleParts current_locale() {
    // The locale the process set for itself wins; a program that never called
    // setlocale runs in "C", so then the environment says what the user chose,
    // in the order setlocale(LC_CTYPE, "") would read it.
    std::string name;
    if (const char* set = std::setlocale(LC_CTYPE, nullptr); set != nullptr) name = set;
    if (name.empty() || name == "C" || name == "POSIX" || name.starts_with("C.")) {
        name.clear();
        for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
            const char* v = std::getenv(var);
            if (v != nullptr && *v != '\0') {
                name = v;
                break;
            }
        }
    }
    LocaleParts p;
    std::string_view s = name;
    std::size_t end = s.find_first_of(".@");
    if (end != std::string_view::npos) s = s.substr(0, end);
    std::size_t us = s.find('_');
    p.language = std::string(s.substr(0, us));
    if (us != std::string_view::npos) p.territory = std::string(s.substr(us + 1));
    if (p.language == "C" || p.language == "POSIX") p.language.clear();
    return p;
}

ScriptCode script_of(const LocaleParts& p) {
    const std::string& l = p.language;
    if (l == "ja") return smJapanese;
    if (l == "ko") return smKorean;
    if (l == "zh") {
        return (p.territory == "TW" || p.territory == "HK" || p.territory == "MO") ? smTradChinese
                                                                                   : smSimpChinese;
    }
    if (l == "ar" || l == "fa" || l == "ur") return smArabic;
    if (l == "he" || l == "iw" || l == "yi") return smHebrew;
    if (l == "el") return smGreek;
    if (l == "ru" || l == "uk" || l == "be" || l == "bg" || l == "mk" || l == "sr")
        return smCyrillic;
    if (l == "cs" || l == "sk" || l == "pl" || l == "hu" || l == "et" || l == "lv" || l == "lt")
        return smCentralEuroRoman;
    if (l == "hi" || l == "mr" || l == "ne") return kDevanagari;
    if (l == "th") return kThai;
    return smRoman;
}

RegionCode region_of(const LocaleParts& p) {
    struct Territory {
        const char* code;
        RegionCode region;
    };
    // A territory whose region depends on the language (Switzerland, Belgium,
    // Canada) is resolved before this table.
    static constexpr Territory kTerritories[] = {
        {"US", kUS},         {"FR", kFrance},       {"GB", kBritain},     {"DE", kGermany},
        {"AT", kGermany},    {"IT", kItaly},        {"NL", kNetherlands}, {"SE", kSweden},
        {"ES", kSpain},      {"DK", kDenmark},      {"PT", kPortugal},    {"NO", kNorway},
        {"IL", kIsrael},     {"JP", kJapan},        {"AU", kAustralia},   {"SA", kArabic},
        {"EG", kArabic},     {"AE", kArabic},       {"FI", kFinland},     {"GR", kGreece},
        {"IS", kIceland},    {"MT", kMalta},        {"CY", kCyprus},      {"TR", kTurkey},
        {"IN", kIndiaHindi}, {"PK", kPakistanUrdu}, {"RO", kRomania},     {"LT", kLithuania},
        {"PL", kPoland},     {"HU", kHungary},      {"EE", kEstonia},     {"LV", kLatvia},
        {"IR", kIran},       {"RU", kRussia},       {"IE", kIreland},     {"KR", kKorea},
        {"CN", kChina},      {"TW", kTaiwan},       {"HK", kTaiwan},      {"TH", kThailand},
        {"CZ", kCzech},      {"SK", kSlovak},       {"BY", kBelarus},     {"UA", kUkraine},
        {"RS", kSerbian},    {"SI", kSlovenian},    {"MK", kMacedonian},  {"HR", kCroatia},
        {"BR", kBrazil},     {"BG", kBulgaria},     {"NZ", kAustralia},
    };
    const std::string& t = p.territory;
    const std::string& l = p.language;
    if (t == "CH") return l == "fr" ? kFrSwiss : l == "it" ? kItalianSwiss : kGrSwiss;
    if (t == "BE") return l == "fr" ? kFrance : kFlemish;
    if (t == "CA") return l == "fr" ? kFrCanada : kUS;
    for (const Territory& e : kTerritories)
        if (t == e.code) return e.region;
    // No territory (or one we do not know): the language's home region, so
    // that "ja" alone still pairs with the Japanese script.
    static constexpr Territory kHomes[] = {
        {"ja", kJapan},    {"ko", kKorea},   {"zh", kChina},   {"ru", kRussia},
        {"uk", kUkraine},  {"el", kGreece},  {"he", kIsrael},  {"ar", kArabic},
        {"fr", kFrance},   {"de", kGermany}, {"it", kItaly},   {"nl", kNetherlands},
        {"sv", kSweden},   {"es", kSpain},   {"da", kDenmark}, {"pt", kPortugal},
        {"nb", kNorway},   {"no", kNorway},  {"fi", kFinland}, {"is", kIceland},
        {"tr", kTurkey},   {"hr", kCroatia}, {"ro", kRomania}, {"pl", kPoland},
        {"hu", kHungary},  {"cs", kCzech},   {"sk", kSlovak},  {"th", kThailand},
        {"bg", kBulgaria}, {"fa", kIran},
    };
    for (const Territory& e : kHomes)
        if (l == e.code) return e.region;
    return kUS;
}

}  // namespace

// ---------------------------------------------------------------- encodings as numbers

TextEncoding CreateTextEncoding(TextEncodingBase base, TextEncodingVariant variant,
                                TextEncodingFormat format) {
    return (base & 0xFFFFu) | ((variant & 0x3Fu) << 16) | ((format & 0x3Fu) << 26);
}

TextEncodingBase GetTextEncodingBase(TextEncoding encoding) {
    return encoding & 0xFFFFu;
}
TextEncodingVariant GetTextEncodingVariant(TextEncoding encoding) {
    return (encoding >> 16) & 0x3Fu;
}
TextEncodingFormat GetTextEncodingFormat(TextEncoding encoding) {
    return (encoding >> 26) & 0x3Fu;
}

// ---------------------------------------------------------------- Script Manager

long GetScriptManagerVariable(SInt16 selector) {
    // Tests set the variables through the seam; the key is a literal so that
    // no string is built on every call.
    const char* key = selector == smSysScript    ? "GetScriptManagerVariable.18"
                      : selector == smKeyScript  ? "GetScriptManagerVariable.22"
                      : selector == smRegionCode ? "GetScriptManagerVariable.40"
                                                 : nullptr;
    if (key != nullptr) {
        if (auto v = vantrel::fault::override_value(key)) return static_cast<long>(*v);
    }
    switch (selector) {
        case smSysScript:
        case smKeyScript:
            return script_of(current_locale());
        case smRegionCode:
            return region_of(current_locale());
        default:
            return 0;
    }
}

OSStatus UpgradeScriptInfoToTextEncoding(
    ScriptCode script, LangCode language, RegionCode region,
    ConstStr255Param /*fontName: a font implies its script; we keep no fonts*/,
    TextEncoding* oEncoding) {
    if (OSErr e = vantrel::fault::check("UpgradeScriptInfoToTextEncoding")) return e;
    if (oEncoding == nullptr) return paramErr;

    const Region* r = nullptr;
    if (region != kTextRegionDontCare) {
        r = find_region(region);
        if (r == nullptr) return kTextUnsupportedEncodingErr;
    }
    if (script == kTextScriptDontCare) {
        if (r != nullptr) {
            script = r->script;
        } else {
            script = static_cast<ScriptCode>(GetScriptManagerVariable(smSysScript));
            for (const Language& l : kLanguages)
                if (l.code == language) script = l.script;
        }
    }
    if (script < 0 || script > kLastScript) return paramErr;
    // A region belongs to one script; asking for Japan with the Roman script
    // names no encoding, and the caller is told so (it may retry without the
    // region).
    if (r != nullptr && r->script != script) return paramErr;
    *oEncoding = r != nullptr ? r->base : static_cast<TextEncoding>(script);
    return noErr;
}
