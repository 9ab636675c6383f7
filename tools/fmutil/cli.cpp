#include "cli.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "fmutil.h"
#include "result_codes.h"
#include "text.h"

namespace fmutil {
namespace {

// The project's version, from CMake's project(VERSION).
constexpr std::string_view kVersion = "fmutil " FMUTIL_VERSION;

void print_command_help(Out& out, const CommandSpec& c) {
    out << "usage: fmutil " << c.name << " " << c.synopsis << "\n\n" << c.summary << "\n";
    if (!c.details.empty()) out << "\n" << c.details;
    out << "\noptions:\n";
    for (const OptionSpec& o : c.options) out << "  " << o.help << "\n";
    if (c.prints) out << "  --json           print one JSON document instead of text\n";
    out << "  -h, --help       show this help\n";
}

void print_main_help(Out& out) {
    out << "usage: fmutil COMMAND [ARGS...] [--json] [--help]\n\n"
           "The File Manager utilities on the command line: catalogue information, Finder\n"
           "flags, type and creator, locks, listing, walking, deleting, moving, exchanging\n"
           "and copying files, volumes and file IDs.\n\ncommands:\n";
    for (const CommandSpec& c : commands()) {
        std::string line = "  " + std::string(c.name);
        line.resize(14, ' ');
        out << line << c.summary << "\n";
    }
    out << "\n'fmutil COMMAND --help' describes one command; 'man fmutil' all of them.\n\n"
           "exit status: 0 done; 1 a File Manager error (its code is printed); 2 bad usage,\n"
           "nothing was done; 3 the output could not be written.\n";
}

const CommandSpec* find_command(std::string_view name) {
    for (const CommandSpec& c : commands()) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

const OptionSpec* find_option(const CommandSpec& c, std::string_view name) {
    for (const OptionSpec& o : c.options) {
        if (o.name == name) return &o;
    }
    return nullptr;
}

}  // namespace

int Context::usage_error(std::string_view message, std::string_view advice) {
    err << "fmutil: " << command.name << ": ";
    append_terminal_safe(err.buf(), message);
    err << advice << "\nusage: fmutil " << command.name << " " << command.synopsis
        << "\nTry 'fmutil " << command.name << " --help'.\n";
    err.flush();
    // A script that asked for JSON gets a document for this too.
    if (json) {
        JsonWriter j(out);
        j.begin_object();
        j.key("error");
        j.begin_object();
        j.key("path");
        j.null();
        j.key("code");
        j.null();
        j.field("name", "usage");
        j.field("message", std::string(message) + std::string(advice));
        j.field("usage",
                "fmutil " + std::string(command.name) + " " + std::string(command.synopsis));
        j.end_object();
        j.end_object();
        j.finish();
        out.flush();
    }
    return kExitUsage;
}

void Context::fm_error_line(std::string_view path, OSErr code, std::string_view meaning) {
    err << "fmutil: ";
    append_terminal_safe(err.buf(), path);
    std::string text = describe_result(code);
    if (!meaning.empty()) {
        if (const ResultCode* r = find_result_code(code)) {
            text =
                std::string(r->name) + " (" + std::to_string(code) + "): " + std::string(meaning);
        }
    }
    err << ": " << text << "\n";
    err.flush();
}

void write_json_error(JsonWriter& j, std::string_view path, OSErr code, std::string_view meaning) {
    j.begin_object();
    j.name_field("path", path);  // a path that is not UTF-8 keeps its bytes
    j.field("code", static_cast<std::int64_t>(code));
    const ResultCode* r = find_result_code(code);
    j.field("name", r ? r->name : std::string_view("unknown"));
    j.field("message", !meaning.empty() ? meaning
                       : r              ? r->meaning
                                        : std::string_view("unknown result code"));
    j.end_object();
}

ItemKind kind_of_mode(UInt16 mode, bool isDirectory) {
    switch (mode & S_IFMT) {
        case S_IFLNK:
            return {"symbolic link", "symlink", 'l'};
        case S_IFIFO:
            return {"FIFO", "fifo", 'p'};
        case S_IFSOCK:
            return {"socket", "socket", 's'};
        case S_IFCHR:
            return {"character device", "char_device", 'c'};
        case S_IFBLK:
            return {"block device", "block_device", 'b'};
        case S_IFDIR:
            return {"directory", "directory", 'd'};
        case S_IFREG:
            return {"file", "file", '-'};
        default:  // no type bits: all that is known is the node flags
            return isDirectory ? ItemKind{"directory", "directory", 'd'}
                               : ItemKind{"file", "file", '-'};
    }
}

ItemKind kind_of(const FSCatalogInfo& info) {
    FSPermissionInfo perm;
    std::memcpy(&perm, info.permissions, sizeof perm);
    return kind_of_mode(perm.mode, (info.nodeFlags & kFSNodeIsDirectoryMask) != 0);
}

OSErr item_kind(const FSRef& ref, ItemKind* kind, std::string* notFile) {
    FSCatalogInfo info{};
    if (OSErr e = FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags | kFSCatInfoPermissions, &info,
                                   nullptr, nullptr, nullptr)) {
        return e;
    }
    *kind = kind_of(info);
    if (notFile != nullptr && kind->letter != '-') {
        const std::string_view k = kind->text;
        const bool vowel = k[0] == 'a' || k[0] == 'e' || k[0] == 'i' || k[0] == 'o';
        *notFile =
            std::string("it is ") + (vowel ? "an " : "a ") + kind->text + ", not a plain file";
    }
    return noErr;
}

int Context::fm_error(std::string_view path, OSErr code, std::string_view meaning) {
    fm_error_line(path, code, meaning);
    if (json) {
        JsonWriter j(out);
        j.begin_object();
        j.key("error");
        write_json_error(j, path, code, meaning);
        j.end_object();
        j.finish();
        out.flush();
    }
    return kExitFileManager;
}

int Context::finish(int status) {
    if (!out.flush()) {
        err << "fmutil: " << command.name
            << ": cannot write the output: " << std::strerror(out.error()) << "\n";
        err.flush();
        return kExitOutput;
    }
    return status;
}

OSErr path_ref(const std::string& path, FSRef* ref, bool* isDirectory) {
    Boolean dir = 0;
    OSErr e = FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), ref, &dir);
    // "file/" names no file, as the shell's tools have it: a trailing slash
    // asks for a directory (rm plain/ must not delete plain).
    if (e == noErr && !dir && path.size() > 1 && path.back() == '/') e = dirNFErr;
    if (e == noErr && isDirectory != nullptr) *isDirectory = dir != 0;
    return e;
}

std::string ref_path(const FSRef& ref) {
    std::string buf(4096, '\0');
    if (FSRefMakePath(&ref, reinterpret_cast<UInt8*>(buf.data()),
                      static_cast<UInt32>(buf.size())) != noErr) {
        return {};
    }
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

void append_disk_name(std::string& out, const FSRef& ref, const HFSUniStr255& name) {
    const std::size_t n = name.length > 255 ? 255 : name.length;
    bool ascii = true;
    for (std::size_t i = 0; i < n && ascii; ++i) ascii = name.unicode[i] < 0x80;
    if (ascii || !append_ref_disk_name(out, ref)) append_unicode_name_as_posix(out, name);
}

bool append_ref_disk_name(std::string& out, const FSRef& ref) {
    UInt8 buf[255];
    ByteCount len = 0;
    OSErr e = VantrelFSRefGetDiskName(&ref, buf, sizeof buf, &len);
    if (e == noErr) {
        out.append(reinterpret_cast<const char*>(buf), len);
        return true;
    }
    if (e != errFSNameTooLong) return false;
    std::string big(len, '\0');
    if (VantrelFSRefGetDiskName(&ref, reinterpret_cast<UInt8*>(big.data()), len, &len) != noErr)
        return false;
    big.resize(len);
    out += big;
    return true;
}

void append_listed_name(std::string& out, const VantrelDiskName& disk, const FSRef& ref) {
    if (disk.length != 0 || !append_ref_disk_name(out, ref))
        out.append(reinterpret_cast<const char*>(disk.bytes), disk.length);
}

VantrelDiskName disk_name(std::string_view bytes) {
    VantrelDiskName n{};
    n.length = static_cast<UInt8>(std::min<std::size_t>(bytes.size(), sizeof n.bytes));
    std::memcpy(n.bytes, bytes.data(), n.length);
    return n;
}

std::string_view last_component(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path == "/") return path;
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool ends_in_dot_or_dotdot(std::string_view path) {
    const std::string_view last = last_component(path);
    return last == "." || last == "..";
}

std::optional<long long> parse_integer(std::string_view text, long long min, long long max) {
    long long v = 0;
    if (text.empty() || text.front() == '+') return std::nullopt;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 10);
    if (ec != std::errc() || p != text.data() + text.size() || v < min || v > max)
        return std::nullopt;
    return v;
}

int run(const std::vector<std::string>& argv, int outFd, int errFd) {
    Out out(outFd);
    Out err(errFd);
    if (argv.size() < 2) {
        print_main_help(err);
        return kExitUsage;
    }
    const std::string& name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        if (name == "help" && argv.size() > 2) {
            if (const CommandSpec* c = find_command(argv[2])) {
                print_command_help(out, *c);
                return out.flush() ? kExitOk : kExitOutput;
            }
            err << "fmutil: no command '";
            append_terminal_safe(err.buf(), argv[2]);
            err << "'; 'fmutil --help' lists them\n";
            return kExitUsage;
        }
        print_main_help(out);
        return out.flush() ? kExitOk : kExitOutput;
    }
    // --version anywhere before "--" answers on its own, as --help does.
    for (std::size_t i = 1; i < argv.size() && argv[i] != "--"; ++i) {
        if (argv[i] == "--version") {
            out << kVersion << "\n";
            return out.flush() ? kExitOk : kExitOutput;
        }
    }
    const CommandSpec* cmd = find_command(name);
    if (cmd == nullptr) {
        err << "fmutil: no command '";
        append_terminal_safe(err.buf(), name);
        err << "'; 'fmutil --help' lists them\n";
        return kExitUsage;
    }

    Context ctx{out, err, *cmd, {}, {}, false};
    // Known before any other word is looked at, so that every usage error
    // of a command run with --json is JSON too.
    for (std::size_t i = 2; i < argv.size() && argv[i] != "--"; ++i) {
        if (argv[i] == "--json" && cmd->prints) ctx.json = true;
    }
    bool onlyOperands = false;
    for (std::size_t i = 2; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        const bool looksLikeOption = a.size() > 1 && a[0] == '-';
        if (onlyOperands || !looksLikeOption || (cmd->isOperand && cmd->isOperand(a))) {
            ctx.args.push_back(a);
            continue;
        }
        if (a == "--") {
            onlyOperands = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            print_command_help(out, *cmd);
            return out.flush() ? kExitOk : kExitOutput;
        }
        if (a == "--json") {
            if (!cmd->prints)
                return ctx.usage_error("this command prints nothing, so it has no --json form");
            ctx.json = true;
            continue;
        }
        std::string opt;
        if (a.rfind("--", 0) == 0) {
            opt = a.substr(2);
        } else {
            for (const OptionSpec& o : cmd->options) {
                if (a.size() == 2 && o.shortName == a[1]) opt = o.name;
            }
            if (opt.empty()) return ctx.usage_error("unknown option '" + a + "'");
        }
        std::optional<std::string> inlineValue;
        if (auto eq = opt.find('='); eq != std::string::npos) {
            inlineValue = opt.substr(eq + 1);
            opt.resize(eq);
        }
        const OptionSpec* spec = find_option(*cmd, opt);
        if (spec == nullptr) return ctx.usage_error("unknown option '--" + opt + "'");
        if (ctx.has(opt)) return ctx.usage_error("option '--" + opt + "' given twice");
        if (spec->takesValue) {
            if (inlineValue) {
                ctx.options[opt] = *inlineValue;
            } else if (i + 1 < argv.size()) {
                ctx.options[opt] = argv[++i];
            } else {
                return ctx.usage_error("option '--" + opt + "' needs a value");
            }
        } else {
            if (inlineValue) return ctx.usage_error("option '--" + opt + "' takes no value");
            ctx.options[opt] = "";
        }
    }
    if (ctx.args.size() < cmd->minArgs) return ctx.usage_error("missing argument");
    if (ctx.args.size() > cmd->maxArgs) return ctx.usage_error("too many arguments");
    for (const std::string& a : ctx.args) {
        if (a.empty()) return ctx.usage_error("an empty argument is not a path");
    }
    return cmd->handler(ctx);
}

}  // namespace fmutil
