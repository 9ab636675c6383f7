// The one encoding layer under every conversion of the platform: CFString to
// C strings, the Unicode converters of the File Manager's names, and Pascal
// strings. It wraps ICU so that Mac encodings and Unicode normalisation come
// from a maintained library rather than our own tables.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "vantrel/MacTypes.h"

namespace vantrel::text {

// ICU converter name for a Mac text-encoding base (Mac Roman is "macintosh"),
// or nullptr when ICU has no converter for it.
const char* icu_name(UInt32 encodingBase) noexcept;

// HFSDecomposed is NFD and HFSComposed NFC, each leaving alone the ranges
// HFS+ never decomposes (U+2000 to U+2FFF, U+F900 to U+FAFF, U+2F800 to
// U+2FAFF): composing those would turn a compatibility character into
// another one (U+2126 OHM SIGN into U+03A9, U+F900 into U+8C48).
enum class Normal { None, NFC, NFD, HFSDecomposed, HFSComposed };

// Converts UTF-16 to the byte encoding `encodingBase`. Returns noErr and the
// byte count, kTECOutputBufferFullStatus when it does not fit in `cap`,
// kTECUnmappableElementErr when a character has no mapping (with `loose`,
// ICU's fallback mappings are allowed before giving up),
// kTextUnsupportedEncodingErr for an unknown base.
OSStatus from_utf16(UInt32 encodingBase, const UniChar* src, std::size_t units, bool loose,
                    char* out, std::size_t cap, std::size_t* outLen) noexcept;

// Converts bytes in `encodingBase` to UTF-16 (normalised as asked). Returns
// kTECOutputBufferFullStatus when more than `capUnits` units would be needed.
OSStatus to_utf16(UInt32 encodingBase, const char* src, std::size_t len, Normal form, UniChar* out,
                  std::size_t capUnits, std::size_t* outUnits) noexcept;

// Normalises UTF-16 into `out` (NFC, NFD, or their HFS+ forms above).
OSStatus normalize(const UniChar* src, std::size_t units, Normal form,
                   std::u16string* out) noexcept;

// UTF-8 <-> UTF-16 for paths and names, through vantrel/UTF.h: ill-formed
// input (an overlong form, a surrogate, a lone surrogate unit) gives bdNamErr.
OSStatus utf8_to_utf16(std::string_view in, std::u16string* out) noexcept;
OSStatus utf16_to_utf8(const UniChar* src, std::size_t units, std::string* out) noexcept;

}  // namespace vantrel::text
