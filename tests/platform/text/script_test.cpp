// The Script Manager's system script and region from the locale, and the
// combination of script, language and region into a text encoding.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "vantrel/TextEncoding.h"
#include "vantrel/fault.h"

namespace vf = vantrel::fault;

TEST(TextEncodingNumbers, PackAndUnpackTheThreeParts) {
    // The Unicode side of the HFS+ name mapping, and UTF-8 as the codec knows it.
    EXPECT_EQ(CreateTextEncoding(kTextEncodingUnicodeV2_0, kUnicodeCanonicalDecompVariant,
                                 kUnicode16BitFormat),
              0x00020103u);
    EXPECT_EQ(CreateTextEncoding(kTextEncodingUnicodeDefault, 0, kUnicodeUTF8Format), 0x08000100u);
    const TextEncoding e = CreateTextEncoding(0x1234, 0x21, 0x15);
    EXPECT_EQ(GetTextEncodingBase(e), 0x1234u);
    EXPECT_EQ(GetTextEncodingVariant(e), 0x21u);
    EXPECT_EQ(GetTextEncodingFormat(e), 0x15u);
    EXPECT_EQ(GetTextEncodingBase(kTextEncodingUnknown), 0xFFFFu);
}

struct LocaleRow {
    const char* locale;
    long script;
    long region;
};

class ScriptFromLocale : public ::testing::TestWithParam<LocaleRow> {};

TEST_P(ScriptFromLocale, SystemScriptAndRegionFollowTheEnvironment) {
    const LocaleRow& row = GetParam();
    // Each case runs in its own process, so the environment is ours to change.
    ::unsetenv("LC_CTYPE");
    ::setenv("LANG", "C", 1);
    ::setenv("LC_ALL", row.locale, 1);
    EXPECT_EQ(GetScriptManagerVariable(smSysScript), row.script) << row.locale;
    EXPECT_EQ(GetScriptManagerVariable(smRegionCode), row.region) << row.locale;
    // The locale's own pair always combines into an encoding.
    TextEncoding enc = 0x7777;
    EXPECT_EQ(
        UpgradeScriptInfoToTextEncoding(static_cast<ScriptCode>(row.script), kTextLanguageDontCare,
                                        static_cast<RegionCode>(row.region), nullptr, &enc),
        noErr)
        << row.locale;
}

INSTANTIATE_TEST_SUITE_P(
    Locales, ScriptFromLocale,
    ::testing::Values(
        LocaleRow{"C", smRoman, verUS}, LocaleRow{"POSIX", smRoman, verUS},
        LocaleRow{"en_US.UTF-8", smRoman, verUS}, LocaleRow{"en_GB.UTF-8", smRoman, verBritain},
        LocaleRow{"de_DE.UTF-8@euro", smRoman, verGermany}, LocaleRow{"fr_CH.UTF-8", smRoman, 18},
        LocaleRow{"de_CH", smRoman, 19}, LocaleRow{"ja_JP.UTF-8", smJapanese, verJapan},
        LocaleRow{"ja", smJapanese, verJapan}, LocaleRow{"zh_TW.Big5", smTradChinese, 53},
        LocaleRow{"zh_CN.UTF-8", smSimpChinese, 52}, LocaleRow{"ru_RU.KOI8-R", smCyrillic, 49},
        LocaleRow{"uk_UA.UTF-8", smCyrillic, 62}, LocaleRow{"pl_PL.UTF-8", smCentralEuroRoman, 42},
        LocaleRow{"el_GR.UTF-8", smGreek, 20}, LocaleRow{"xx_QQ.UTF-8", smRoman, verUS}));

TEST(ScriptManager, OverridesReplaceTheLocaleAndLcAllWinsOverLang) {
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_CTYPE");
    ::setenv("LANG", "ja_JP.UTF-8", 1);
    EXPECT_EQ(GetScriptManagerVariable(smSysScript), smJapanese)
        << "LANG is read when nothing else is set";
    ::setenv("LC_ALL", "ru_RU.UTF-8", 1);
    EXPECT_EQ(GetScriptManagerVariable(smSysScript), smCyrillic) << "LC_ALL wins over LANG";

    vf::Scope scope;
    vf::set_override("GetScriptManagerVariable.18", smGreek);
    vf::set_override("GetScriptManagerVariable.40", 999);
    EXPECT_EQ(GetScriptManagerVariable(smSysScript), smGreek);
    EXPECT_EQ(GetScriptManagerVariable(smRegionCode), 999);
    vf::clear_override("GetScriptManagerVariable.18");
    EXPECT_EQ(GetScriptManagerVariable(smSysScript), smCyrillic);
}

struct UpgradeRow {
    ScriptCode script;
    LangCode language;
    RegionCode region;
    OSStatus status;
    TextEncoding encoding;  // only checked on noErr
};

class Upgrade : public ::testing::TestWithParam<UpgradeRow> {};

TEST_P(Upgrade, CombinesScriptLanguageAndRegion) {
    const UpgradeRow& row = GetParam();
    vf::Scope scope;
    vf::set_override("GetScriptManagerVariable.18", smRoman);
    const TextEncoding untouched = 0x5A5A5A5A;
    TextEncoding enc = untouched;
    EXPECT_EQ(UpgradeScriptInfoToTextEncoding(row.script, row.language, row.region, nullptr, &enc),
              row.status);
    EXPECT_EQ(enc, row.status == noErr ? row.encoding : untouched)
        << "the output is written only on success";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Upgrade,
    ::testing::Values(
        UpgradeRow{smRoman, kTextLanguageDontCare, verUS, noErr, kTextEncodingMacRoman},
        UpgradeRow{smRoman, kTextLanguageDontCare, verJapan, paramErr, 0},
        UpgradeRow{smJapanese, kTextLanguageDontCare, verUS, paramErr, 0},
        UpgradeRow{smJapanese, kTextLanguageDontCare, verJapan, noErr, kTextEncodingMacJapanese},
        UpgradeRow{kTextScriptDontCare, kTextLanguageDontCare, verJapan, noErr,
                   kTextEncodingMacJapanese},
        UpgradeRow{smCyrillic, kTextLanguageDontCare, kTextRegionDontCare, noErr,
                   kTextEncodingMacCyrillic},
        UpgradeRow{smRoman, kTextLanguageDontCare, 21, noErr, kTextEncodingMacIcelandic},
        UpgradeRow{smCyrillic, kTextLanguageDontCare, 62, noErr, kTextEncodingMacUkrainian},
        UpgradeRow{kTextScriptDontCare, 11, kTextRegionDontCare, noErr, kTextEncodingMacJapanese},
        UpgradeRow{kTextScriptDontCare, kTextLanguageDontCare, kTextRegionDontCare, noErr,
                   kTextEncodingMacRoman},
        UpgradeRow{smRoman, kTextLanguageDontCare, 999, kTextUnsupportedEncodingErr, 0},
        UpgradeRow{40, kTextLanguageDontCare, kTextRegionDontCare, paramErr, 0},
        UpgradeRow{-5, kTextLanguageDontCare, kTextRegionDontCare, paramErr, 0}));

TEST(Upgrade, GoesThroughTheFaultSeamAndRejectsANullOutput) {
    vf::Scope scope;
    EXPECT_EQ(
        UpgradeScriptInfoToTextEncoding(smRoman, kTextLanguageDontCare, verUS, nullptr, nullptr),
        paramErr);
    vf::fail_nth("UpgradeScriptInfoToTextEncoding", 1, ioErr);
    TextEncoding enc = 77;
    EXPECT_EQ(UpgradeScriptInfoToTextEncoding(smRoman, kTextLanguageDontCare, verUS, nullptr, &enc),
              ioErr);
    EXPECT_EQ(enc, 77u);
    EXPECT_EQ(vf::injected(), 1);
    EXPECT_EQ(UpgradeScriptInfoToTextEncoding(smRoman, kTextLanguageDontCare, verUS, nullptr, &enc),
              noErr);
    EXPECT_EQ(enc, kTextEncodingMacRoman);
}
