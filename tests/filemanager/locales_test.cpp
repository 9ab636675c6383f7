// Names in the locales whose script has no converter table here (Korean,
// Chinese, Hebrew, Arabic, Thai, Devanagari, and Mac Icelandic, Romanian and
// Croatian, which Debian's ICU lacks): the system's encoding falls back to
// Mac Roman, so an ASCII name always converts. Each locale is built with
// localedef (once, into the tests' locale cache) and set in a child process.
#include "Locales.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Child.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"

namespace fs = std::filesystem;

namespace {

class HintInLocale : public ::testing::TestWithParam<const char*> {};

TEST_P(HintInLocale, AnASCIINameConvertsAndFilesCanBeCopiedUnderIt) {
    const std::string locale = GetParam();
    vtest::TempDir dir;
    const std::string lang = locale.substr(0, locale.find('.'));
    std::string why;
    if (!vtest::compile_locale(lang, "UTF-8", locale, &why)) GTEST_SKIP() << why;
    const std::string locpath = vtest::locale_cache_dir();
    const fs::path src = dir.write("src/file", "data");
    fs::create_directories(dir / "dst");

    auto msg = vtest::run_child(vtest::Child::Plain, [&]() -> std::string {
        ::setenv("LOCPATH", locpath.c_str(), 1);
        if (std::setlocale(LC_CTYPE, locale.c_str()) == nullptr) return "setlocale failed";
        const std::u16string report = u"report";
        Str31 hfs;
        if (OSErr e = UnicodeNameGetHFSName(report.size(),
                                            reinterpret_cast<const UniChar*>(report.data()),
                                            kTextEncodingUnknown, false, hfs))
            return "UnicodeNameGetHFSName gave " + std::to_string(e);
        if (std::string(reinterpret_cast<const char*>(hfs + 1), hfs[0]) != "report")
            return "the short name is not \"report\"";
        HFSUniStr255 back;
        if (OSErr e = HFSNameGetUnicodeName(hfs, kTextEncodingUnknown, &back))
            return "HFSNameGetUnicodeName gave " + std::to_string(e);
        if (std::u16string(reinterpret_cast<const char16_t*>(back.unicode), back.length) != report)
            return "the name does not come back";
        FSRef s{}, d{}, out{};
        FSPathMakeRef(reinterpret_cast<const UInt8*>(src.c_str()), &s, nullptr);
        FSPathMakeRef(reinterpret_cast<const UInt8*>((dir / "dst").c_str()), &d, nullptr);
        if (OSErr e =
                FSCopyFile(&s, &d, report.size(), reinterpret_cast<const UniChar*>(report.data()),
                           kTextEncodingUnknown, &out))
            return "FSCopyFile gave " + std::to_string(e);
        const std::u16string moved = u"moved";
        if (OSErr e =
                FSMoveRename(&out, &d, moved.size(), reinterpret_cast<const UniChar*>(moved.data()),
                             kTextEncodingUnknown, &out))
            return "FSMoveRename gave " + std::to_string(e);
        return "";
    });
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(*msg, "");
    EXPECT_TRUE(fs::exists(dir / "dst/moved"));
}

INSTANTIATE_TEST_SUITE_P(Locales, HintInLocale,
                         ::testing::Values("ko_KR.UTF-8", "zh_CN.UTF-8", "zh_TW.UTF-8",
                                           "he_IL.UTF-8", "ar_EG.UTF-8", "th_TH.UTF-8",
                                           "hi_IN.UTF-8", "is_IS.UTF-8", "ro_RO.UTF-8",
                                           "hr_HR.UTF-8"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string n;
                             for (const char* c = info.param; *c && *c != '.'; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c))) n += *c;
                             return n;
                         });

}  // namespace
