// The command table and the shared plumbing of fmutil's commands: parsed
// arguments, output streams, and the one-line error report.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output.h"
#include "vantrel/DiskNames.h"
#include "vantrel/Files.h"
#include "vantrel/MacTypes.h"

namespace fmutil {

struct Context;

struct OptionSpec {
    std::string_view name;  // without the leading "--"
    bool takesValue;
    std::string_view help;  // "--name VALUE  what it does", shown by --help
    char shortName = 0;     // "-l" for "--long"
};

struct CommandSpec {
    std::string_view name;
    std::string_view synopsis;  // the arguments after the command name
    std::string_view summary;   // one line for the command list
    std::string_view details;   // the rest of the command's --help
    std::size_t minArgs;
    std::size_t maxArgs;
    std::vector<OptionSpec> options;
    bool prints;  // whether the command has output (and so a --json form)
    // Words that start with "-" or "+" but are operands, not options
    // (the flag names of `flags`).
    std::function<bool(std::string_view)> isOperand;
    int (*handler)(Context&);
};

struct Context {
    Out& out;
    Out& err;
    const CommandSpec& command;
    std::vector<std::string> args;               // operands, in order
    std::map<std::string, std::string> options;  // given options; flags map to ""
    bool json = false;

    bool has(std::string_view opt) const { return options.count(std::string(opt)) != 0; }
    const std::string* value(std::string_view opt) const {
        auto it = options.find(std::string(opt));
        return it == options.end() ? nullptr : &it->second;
    }

    // "fmutil: CMD: message" plus the command's usage, on stderr; returns
    // kExitUsage. The message is escaped for the terminal (it may quote what
    // the user typed); `advice` is our own text and printed as written, so
    // that an example in it can be copied as shown.
    int usage_error(std::string_view message, std::string_view advice = {});
    // "fmutil: PATH: fLckdErr (-45): the file is locked" on stderr, and with
    // --json {"error":{...}} on stdout; returns kExitFileManager. `meaning`,
    // when given, replaces the code's general meaning with what happened.
    int fm_error(std::string_view path, OSErr err, std::string_view meaning = {});
    // Reports an error inside a JSON document already begun (tree, ls).
    void fm_error_line(std::string_view path, OSErr err, std::string_view meaning = {});
    // Ends a successful command: flushes stdout and turns a failed write
    // into kExitOutput.
    int finish(int status = 0);
};

// Writes the value {"path":..,"code":..,"name":..,"message":..} of an error.
void write_json_error(JsonWriter& j, std::string_view path, OSErr code,
                      std::string_view meaning = {});

// What kind of item the mode of an item's permissions (kFSCatInfoPermissions)
// says it is: the word for text ("symbolic link"), the JSON value
// ("symlink") and the letter of `ls -l` ('l').
struct ItemKind {
    const char* text;
    const char* json;
    char letter;
};
ItemKind kind_of_mode(UInt16 mode, bool isDirectory);
// The same for an item's catalogue information (permissions and node flags).
ItemKind kind_of(const FSCatalogInfo& info);
// Reads an item's kind. Where it is not a plain file, `*notFile` gets the
// words for an error about it ("it is a FIFO, not a plain file").
OSErr item_kind(const FSRef& ref, ItemKind* kind, std::string* notFile = nullptr);

// The command table, in the order `fmutil --help` lists it.
const std::vector<CommandSpec>& commands();

// Makes a reference from a path given on the command line.
OSErr path_ref(const std::string& path, FSRef* ref, bool* isDirectory = nullptr);
// The absolute path of a reference, or "" when it cannot be made.
std::string ref_path(const FSRef& ref);

// Appends an item's name as its directory entry spells it. The File Manager
// hands names back in canonical decomposition with ':' and '/' swapped; an
// ASCII name converts back exactly, any other is asked of the platform as
// bytes, so that a printed name can be given back to the shell.
void append_disk_name(std::string& out, const FSRef& ref, const HFSUniStr255& name);
// Appends the bytes of the entry that names `ref`'s object; false (nothing
// appended) when the platform cannot say (the object is gone).
bool append_ref_disk_name(std::string& out, const FSRef& ref);
// Appends a listed item's name as the bulk call handed it out (one longer
// than the record holds is asked of the reference).
void append_listed_name(std::string& out, const VantrelDiskName& disk, const FSRef& ref);

// A name's bytes as the platform's disk-name calls take them (at most 255:
// no name on disk is longer).
VantrelDiskName disk_name(std::string_view bytes);

// The last component of a path as rm sees it: trailing slashes ignored
// ("a/b/" gives "b", "/" gives "/").
std::string_view last_component(std::string_view path);
// True when that component is "." or "..": such an operand names a directory
// through its own entry or its child's, and is never a target to remove.
bool ends_in_dot_or_dotdot(std::string_view path);

// Strict decimal parsing for option values; nothing on trailing text,
// signs where none are allowed, or values out of [min, max].
std::optional<long long> parse_integer(std::string_view text, long long min, long long max);

}  // namespace fmutil
