// Text helpers of fmutil: UTF-8 <-> UTF-16 for names, four-character codes,
// dates, and escaping for the terminal and for JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vantrel/Files.h"
#include "vantrel/MacTypes.h"

namespace fmutil {

// UTF-8 to UTF-16. Nothing when the input is not well-formed UTF-8 (overlong
// forms, surrogates, truncated sequences and values above U+10FFFF included).
std::optional<std::u16string> utf8_to_utf16(std::string_view in);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view in);
void append_utf16_as_utf8(std::string& out, const UniChar* units, std::size_t count);

// A file name as the shell sees it (one POSIX path component) to the
// File Manager's Unicode name, where the Mac's ":" / "/" roles are swapped.
// Nothing for an empty name, a name with "/" or invalid UTF-8, "." or "..".
std::optional<std::u16string> posix_name_to_unicode(std::string_view name);
// The reverse, for names the File Manager hands back.
void append_unicode_name_as_posix(std::string& out, const HFSUniStr255& name);

// A four-character code written as its bytes, most significant first;
// printable ASCII as is, a backslash as "\\", anything else as "\xHH".
std::string format_ostype(OSType code);
// The inverse of format_ostype: exactly four bytes after "\xHH" and "\\"
// escapes. Nothing for any other length or a malformed escape.
std::optional<OSType> parse_ostype(std::string_view text);

// Seconds since 1904 to ISO 8601 UTC ("2026-12-07T22:10:40Z", fractions
// of a second as up to four decimals); a zero date is "never" set.
bool date_is_set(const UTCDateTime& d);
// Two dates are the same instant: member by member, never the bytes (the
// record has padding that no call writes).
bool same_date(const UTCDateTime& a, const UTCDateTime& b);
// ISO 8601 to a date: "2026-12-07", "2026-12-07T22:10", "2026-12-07T22:10:40.25Z",
// "2026-12-07 22:10:40+01:00" (no zone: UTC). Nothing for malformed text or
// a date before 1904 (which the date format cannot hold).
std::optional<UTCDateTime> parse_date(std::string_view text);
std::string format_date(const UTCDateTime& d);

// Text of the system script (the encoding comments are stored in: Mac Roman
// unless the locale names another script), through the platform's
// converters. Its name for messages ("Mac Roman").
std::string system_script_name();
// UTF-8 to the system script's bytes. Nothing when the text is not UTF-8 or
// has a character the script lacks; `*unmappable` then gets that character
// (empty for malformed UTF-8).
std::optional<std::string> utf8_to_system_script(std::string_view text, std::string* unmappable);
// The reverse, composed (NFC); nothing when the bytes do not convert.
std::optional<std::string> system_script_to_utf8(std::string_view bytes);

// For the terminal: bytes below 0x20, DEL and backslash are escaped as
// "\xHH" and "\\" so that a hostile file name cannot drive the terminal.
void append_terminal_safe(std::string& out, std::string_view text);
// For rm -v: a path quoted as GNU rm quotes it, so that the line reads the
// same and can be pasted back into a shell. Single quotes ('a b'; a quote
// inside as '\''), or double quotes when the name holds a single quote and
// nothing a shell would expand ("it's"); control characters and bytes that
// are not UTF-8 as $'\n' and $'\377' pieces between the quoted runs.
void append_shell_quoted(std::string& out, std::string_view text);
// Whether text is well-formed UTF-8.
bool is_utf8(std::string_view text);
// For JSON: a quoted string; invalid UTF-8 bytes become U+FFFD.
void append_json_string(std::string& out, std::string_view text);

}  // namespace fmutil
