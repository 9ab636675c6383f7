// Drives the UTF-8/UTF-16 conversion (vantrel/UTF.h) with arbitrary bytes,
// read once as UTF-8 and once as UTF-16 units, against ICU's converters as
// the independent reference: the same well-formedness, the same units or
// bytes for what is well-formed, the same U+FFFD for each maximal subpart of
// what is not; what is replaced is always well-formed, and well-formed text
// goes there and back unchanged. Any difference aborts; ASan/UBSan report
// memory faults.
#include <unicode/ustring.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/UTF.h"

namespace {

namespace utf = vantrel::utf;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "utf: %s\n", what);
    std::abort();
}

// ICU's UTF-8 to UTF-16: strict, or with U+FFFD for each maximal subpart.
bool icu_from_utf8(std::string_view in, bool substitute, std::u16string* out) {
    std::vector<UChar> buf(in.size() + 1);
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8WithSub(buf.data(), static_cast<int32_t>(buf.size()), &len, in.data(),
                         static_cast<int32_t>(in.size()), substitute ? 0xFFFD : U_SENTINEL, nullptr,
                         &err);
    if (U_FAILURE(err)) return false;
    out->assign(reinterpret_cast<const char16_t*>(buf.data()), static_cast<std::size_t>(len));
    return true;
}

bool icu_to_utf8(std::u16string_view in, bool substitute, std::string* out) {
    std::vector<char> buf(in.size() * 3 + 1);
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8WithSub(buf.data(), static_cast<int32_t>(buf.size()), &len,
                       reinterpret_cast<const UChar*>(in.data()), static_cast<int32_t>(in.size()),
                       substitute ? 0xFFFD : U_SENTINEL, nullptr, &err);
    if (U_FAILURE(err)) return false;
    out->assign(buf.data(), static_cast<std::size_t>(len));
    return true;
}

void check_utf8(std::string_view in) {
    for (std::size_t i = 0; i < in.size();) {
        const utf::Decoded d = utf::decode_utf8(in.data() + i, in.size() - i);
        if (d.len == 0 || d.len > in.size() - i) fail("a decoded length out of bounds");
        if (!d.ok && d.cp != utf::kReplacement) fail("an ill-formed start not U+FFFD");
        i += d.len;
    }
    std::u16string strict, ref;
    const bool ok = utf::utf8_to_utf16(in, &strict, utf::Invalid::Refuse);
    if (ok != icu_from_utf8(in, false, &ref)) fail("UTF-8 well-formedness differs from ICU's");
    if (ok != (utf::invalid_utf8_at(in) == std::string_view::npos))
        fail("invalid_utf8_at disagrees with the conversion");
    if (ok && strict != ref) fail("UTF-16 of well-formed UTF-8 differs from ICU's");
    std::u16string sub, each;
    if (!utf::utf8_to_utf16(in, &sub, utf::Invalid::ReplaceSubpart) ||
        !utf::utf8_to_utf16(in, &each, utf::Invalid::ReplaceEachUnit))
        fail("a replacing conversion failed");
    if (!icu_from_utf8(in, true, &ref) || sub != ref) fail("replacement differs from ICU's");
    if (ok && (sub != strict || each != strict)) fail("well-formed text was replaced");
    if (each.size() < sub.size()) fail("fewer replacements by byte than by subpart");
    // What was replaced is well-formed UTF-16, and goes back to UTF-8 whole.
    for (const std::u16string* u : {&sub, &each}) {
        std::string back;
        if (!utf::utf16_to_utf8(*u, &back, utf::Invalid::Refuse))
            fail("replaced text has a lone surrogate");
        if (utf::invalid_utf8_at(back) != std::string_view::npos) fail("back is not UTF-8");
        if (ok && back != in) fail("well-formed UTF-8 did not come back");
    }
}

void check_utf16(std::u16string_view in) {
    std::string strict, ref;
    const bool ok = utf::utf16_to_utf8(in, &strict, utf::Invalid::Refuse);
    if (ok != icu_to_utf8(in, false, &ref)) fail("UTF-16 well-formedness differs from ICU's");
    if (ok && strict != ref) fail("UTF-8 of well-formed UTF-16 differs from ICU's");
    std::string replaced;
    if (!utf::utf16_to_utf8(in, &replaced, utf::Invalid::ReplaceSubpart))
        fail("a replacing conversion failed");
    if (!icu_to_utf8(in, true, &ref) || replaced != ref) fail("replacement differs from ICU's");
    if (utf::invalid_utf8_at(replaced) != std::string_view::npos) fail("replaced is not UTF-8");
    std::u16string back;
    if (!utf::utf8_to_utf16(replaced, &back, utf::Invalid::Refuse)) fail("replaced is refused");
    if (ok && back != in) fail("well-formed UTF-16 did not come back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_utf8(std::string_view(reinterpret_cast<const char*>(data), size));
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    check_utf16(units);
    return 0;
}
