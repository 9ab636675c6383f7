// info, type, flags, lock, unlock, touch, comment, copy-attrs: catalogue
// information and what the Finder shows about one item.
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "fmutil.h"
#include "text.h"
#include "vantrel/FSUtilities.h"
#include "walk.h"

namespace fmutil {
namespace {

// Every Finder flag, as info shows it and flags changes it.
constexpr FinderFlagName kFlagNames[] = {
    {"invisible", kIsInvisible},    {"namelocked", kNameLocked}, {"stationery", kIsStationery},
    {"customicon", kHasCustomIcon}, {"inited", kHasBeenInited},  {"alias", kIsAlias},
    {"bundle", kHasBundle},         {"shared", kIsShared},       {"noinits", kHasNoINITs},
    {"ondesk", kIsOnDesk},
};
// The Finder's label colours, by the number in the flags' colour bits.
constexpr const char* kLabelNames[] = {"none", "gray",   "green", "purple",
                                       "blue", "yellow", "red",   "orange"};

std::string hex16(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", v);
    return buf;
}

std::string octal_mode(unsigned mode) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", mode & 07777);
    return buf;
}

// `value` is escaped for the terminal unless it already is (four-character codes).
void human_line(Out& out, std::string_view label, std::string_view value, bool escaped = false) {
    std::string line(label);
    line.resize(12, ' ');
    out << line;
    if (escaped) {
        out << value;
    } else {
        append_terminal_safe(out.buf(), value);
    }
    out << "\n";
}

// What a zero date means. Every date this platform takes from the file
// system (modified, accessed, attributes modified, and created, which
// falls back to the birth or modification time) is a POSIX time, where
// 1904-01-01T00:00:00Z is a date like any other. Only the backup date is
// the Mac's own, kept in the metadata record, whose zero is "never backed
// up".
enum class Zero { IsADate, IsNever };

void json_date(JsonWriter& j, std::string_view key, const UTCDateTime& d,
               Zero zero = Zero::IsADate) {
    j.key(key);
    if (zero == Zero::IsADate || date_is_set(d)) {
        j.string(format_date(d));
    } else {
        j.null();
    }
}

std::string human_date(const UTCDateTime& d, Zero zero = Zero::IsADate) {
    return zero == Zero::IsADate || date_is_set(d) ? format_date(d) : "never";
}

void json_flag_object(JsonWriter& j, UInt16 flags) {
    j.key("finder_flags");
    j.begin_object();
    for (const FinderFlagName& f : kFlagNames) j.field(f.name, (flags & f.bit) != 0);
    j.field("value", hex16(flags));
    j.end_object();
}

// A name or path on a line of `info`: raw, or escaped on a terminal.
void human_name_line(Out& out, std::string_view label, std::string_view value) {
    std::string line(label);
    line.resize(12, ' ');
    out << line;
    out.name(value);
    out << "\n";
}

// One item a per-item command works on: an operand, or with -R an item
// below a directory operand.
struct Item {
    const std::string& path;
    const FSRef& ref;
    JsonWriter* json;   // with --json: where the item's object goes
    std::size_t index;  // 0 for the first item handled
    bool many;          // more than one operand, or -R: text lines name their item
    bool walked;        // met by -R below an operand, not named on the command line
};

// Does the command's work on one item; on failure returns the code and may
// put what happened, in words, into *meaning.
using ItemFn = std::function<OSErr(Context&, const Item&, std::string* meaning)>;

struct Failure {
    std::string path;
    OSErr code;
    std::string meaning;
};

// Reports a failure on stderr when it happens and keeps it for the JSON.
void item_failed(Context& ctx, std::string_view path, OSErr e, const std::string& meaning,
                 std::vector<Failure>* failed) {
    ctx.out.flush();
    ctx.fm_error_line(path, e, meaning);
    failed->push_back({std::string(path), e, meaning});
}

// Runs `fn` on every item below the directory `dir` (spelt `path`), depth
// first, as tree walks: each directory is read whole with the catalogue
// iterator before its children are done, and links are never followed. A
// directory that cannot be read is reported and its siblings are still done
// (the library's container walk would end its parent's listing there and
// report nothing).
void walk_below(Context& ctx, const FSRef& dir, const std::string& path, const ItemFn& fn,
                JsonWriter* json, std::size_t* index, std::vector<Failure>* failed, bool changes) {
    TreeBuffers buffers;
    bool changed = false;
    struct Changer {
        Context& ctx;
        const ItemFn& fn;
        JsonWriter* json;
        std::size_t* index;
        std::vector<Failure>* failed;
        bool changes;
        bool pre(const WalkVisit& v) {
            // As chattr -R does, a recursive change leaves links (which carry
            // no Finder information of their own) and devices, FIFOs and
            // sockets alone.
            const std::string_view kind = v.entry.kind;
            if (!changes || kind == "file" || kind == "directory") {
                std::string meaning;
                const Item item{v.path, *v.ref, json, (*index)++, true, true};
                if (OSErr e = fn(ctx, item, &meaning)) item_failed(ctx, v.path, e, meaning, failed);
            }
            return true;
        }
        void post(const WalkVisit&) {}
        void error(const std::string& p, OSErr e) { item_failed(ctx, p, e, {}, failed); }
    } changer{ctx, fn, json, index, failed, changes};
    walk_tree(dir, path, buffers, true, &changed, changer);
}

// Runs `fn` on each path operand and, with -R, on everything below each
// directory operand (tree's walk: links are never followed). A failure,
// an unreadable directory too, is reported and the rest go on; the status
// is 1 if any failed.
// One operand without -R keeps the one-object JSON of a single item; more
// print {"items":[...],"errors":[...]}.
int for_each_item(Context& ctx, const std::vector<std::string>& paths, const ItemFn& fn,
                  bool changes = true) {
    const bool recursive = ctx.has("recursive");
    const bool many = paths.size() > 1 || recursive;
    if (!many) {
        FSRef ref;
        if (OSErr e = path_ref(paths[0], &ref)) return ctx.fm_error(paths[0], e);
        JsonWriter j(ctx.out);
        std::string meaning;
        Item item{paths[0], ref, ctx.json ? &j : nullptr, 0, false, false};
        if (OSErr e = fn(ctx, item, &meaning)) return ctx.fm_error(paths[0], e, meaning);
        if (ctx.json) j.finish();
        return ctx.finish();
    }
    JsonWriter j(ctx.out);
    begin_json_items(ctx, j);
    std::vector<Failure> failed;
    std::size_t index = 0;
    for (const std::string& path : paths) {
        FSRef ref;
        bool dir = false;
        std::string meaning;
        OSErr e = path_ref(path, &ref, &dir);
        if (!e) {
            Item item{path, ref, ctx.json ? &j : nullptr, index++, true, false};
            e = fn(ctx, item, &meaning);
        }
        if (e) item_failed(ctx, path, e, meaning, &failed);
        // A directory whose own change failed still has items to try
        // (a locked folder's files can be changed); one that cannot be
        // reached has none.
        if (!recursive || !dir || e == fnfErr || e == nsvErr || e == dirNFErr) continue;
        walk_below(ctx, ref, path, fn, ctx.json ? &j : nullptr, &index, &failed, changes);
    }
    if (ctx.json) {
        j.end_array();
        j.key("errors");
        j.begin_array();
        for (const Failure& f : failed) write_json_error(j, f.path, f.code, f.meaning);
        j.end_array();
        j.end_object();
        j.finish();
    }
    return ctx.finish(failed.empty() ? kExitOk : kExitFileManager);
}

OSErr info_one(Context& ctx, const Item& item, std::string*) {
    const std::string& path = item.path;
    const FSRef& ref = item.ref;
    constexpr FSCatalogInfoBitmap kWanted =
        kFSCatInfoNodeFlags | kFSCatInfoVolume | kFSCatInfoParentDirID | kFSCatInfoNodeID |
        kFSCatInfoAllDates | kFSCatInfoPermissions | kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo |
        kFSCatInfoDataSizes | kFSCatInfoRsrcSizes | kFSCatInfoUserPrivs;
    FSCatalogInfo info{};
    HFSUniStr255 uname{};
    if (OSErr e = FSGetCatalogInfo(&ref, kWanted, &info, &uname, nullptr, nullptr)) return e;
    // The lock that would stop a change: the item's own, or its volume's.
    const OSErr lockState = FSCheckLock(&ref);

    const ItemKind kind = kind_of(info);
    // Type, creator and forks belong to plain files; a link, FIFO, socket or
    // device has none of them.
    const bool plainFile = kind.letter == '-';
    std::string name;
    append_disk_name(name, ref, uname);
    FileInfo fi;  // a folder's Finder flags sit at the same offset as a file's
    std::memcpy(&fi, info.finderInfo, sizeof fi);
    const UInt16 flags = fi.finderFlags;
    FSPermissionInfo perm;
    std::memcpy(&perm, info.permissions, sizeof perm);
    const UInt8 privs = info.userPrivileges;
    const char* lockBy = lockState == fLckdErr   ? "item"
                         : lockState == vLckdErr ? "volume"
                         : lockState == wPrErr   ? "write-protected volume"
                                                 : nullptr;

    // The extended attributes a Mac left in the file's "._" file.
    struct MacAttr {
        std::string name;
        ByteCount size;
    };
    std::vector<MacAttr> macAttrs;
    if (plainFile) {
        const OSErr e = VantrelFSGetMacAttributes(
            &ref,
            [](const char* n, const void*, ByteCount len, void* c) -> Boolean {
                static_cast<std::vector<MacAttr>*>(c)->push_back({n, len});
                return false;
            },
            &macAttrs);
        if (e != noErr) return e;
    }

    if (item.json != nullptr) {
        JsonWriter& j = *item.json;
        j.begin_object();
        j.name_field("path", path);
        j.name_field("name", name);
        j.field("kind", kind.json);
        j.field_u("node_id", info.nodeID);
        j.field_u("parent_id", info.parentDirID);
        j.field("volume", static_cast<std::int64_t>(info.volume));
        j.field("locked", (info.nodeFlags & kFSNodeLockedMask) != 0);
        j.key("locked_by");
        lockBy ? j.string(lockBy) : j.null();
        j.key("dates");
        j.begin_object();
        json_date(j, "created", info.createDate);
        json_date(j, "modified", info.contentModDate);
        json_date(j, "attributes_modified", info.attributeModDate);
        json_date(j, "accessed", info.accessDate);
        json_date(j, "backed_up", info.backupDate, Zero::IsNever);
        j.end_object();
        if (plainFile) {
            j.key("type");
            fi.fileType ? j.string(format_ostype(fi.fileType)) : j.null();
            j.key("creator");
            fi.fileCreator ? j.string(format_ostype(fi.fileCreator)) : j.null();
            j.field_u("data_size", info.dataLogicalSize);
            j.field_u("rsrc_size", info.rsrcLogicalSize);
            j.key("mac_attributes");
            j.begin_array();
            for (const MacAttr& a : macAttrs) {
                j.begin_object();
                j.name_field("name", a.name);
                j.field_u("size", a.size);
                j.end_object();
            }
            j.end_array();
        }
        json_flag_object(j, flags);
        j.key("permissions");
        j.begin_object();
        j.field_u("owner", perm.userID);
        j.field_u("group", perm.groupID);
        j.field("mode", octal_mode(perm.mode));
        j.end_object();
        j.key("privileges");
        j.begin_object();
        j.field("see_folders", (privs & kioACUserNoSeeFolderMask) == 0);
        j.field("see_files", (privs & kioACUserNoSeeFilesMask) == 0);
        j.field("make_changes", (privs & kioACUserNoMakeChangesMask) == 0);
        j.field("owner", (privs & kioACUserNotOwnerMask) == 0);
        j.end_object();
        j.end_object();
        return noErr;
    }

    Out& o = ctx.out;
    if (item.index > 0) o << "\n";
    human_name_line(o, "path", path);
    human_name_line(o, "name", name);
    human_line(o, "kind", kind.text);
    human_line(o, "node ID", std::to_string(info.nodeID));
    human_line(o, "parent ID", std::to_string(info.parentDirID));
    human_line(o, "volume", std::to_string(info.volume));
    human_line(o, "locked",
               (info.nodeFlags & kFSNodeLockedMask) ? "yes"
               : lockBy                             ? std::string("no (but the ") + lockBy + " is)"
                                                    : "no");
    human_line(o, "created", human_date(info.createDate));
    human_line(o, "modified", human_date(info.contentModDate));
    human_line(o, "attr. mod.", human_date(info.attributeModDate));
    human_line(o, "accessed", human_date(info.accessDate));
    human_line(o, "backed up", human_date(info.backupDate, Zero::IsNever));
    if (plainFile) {
        human_line(o, "type", fi.fileType ? format_ostype(fi.fileType) : "", true);
        human_line(o, "creator", fi.fileCreator ? format_ostype(fi.fileCreator) : "", true);
        human_line(o, "data fork", std::to_string(info.dataLogicalSize) + " bytes");
        human_line(o, "rsrc fork", std::to_string(info.rsrcLogicalSize) + " bytes");
        for (const MacAttr& a : macAttrs)
            human_name_line(o, "mac attr", a.name + " (" + std::to_string(a.size) + " bytes)");
    }
    human_line(o, "flags", describe_finder_flags(flags) + " (" + hex16(flags) + ")");
    human_line(o, "owner",
               std::to_string(perm.userID) + ", group " + std::to_string(perm.groupID) + ", mode " +
                   octal_mode(perm.mode));
    std::string p;
    p += (privs & kioACUserNoSeeFolderMask) ? "cannot see folders" : "see folders";
    p += (privs & kioACUserNoSeeFilesMask) ? ", cannot see files" : ", see files";
    p += (privs & kioACUserNoMakeChangesMask) ? ", cannot make changes" : ", make changes";
    p += (privs & kioACUserNotOwnerMask) ? ", not owner" : ", owner";
    human_line(o, "you may", p);
    o.maybe_flush();
    return noErr;
}

}  // namespace

const FinderFlagName* finder_flag_names(std::size_t* count) {
    *count = sizeof kFlagNames / sizeof kFlagNames[0];
    return kFlagNames;
}

std::string describe_finder_flags(UInt16 flags) {
    std::string s;
    for (const FinderFlagName& f : kFlagNames) {
        if (flags & f.bit) s += (s.empty() ? "" : ", ") + std::string(f.name);
    }
    if (flags & kColor) {
        const unsigned label = (flags & kColor) >> 1;
        s += (s.empty() ? "" : ", ") + std::string("label ") + std::to_string(label) + " (" +
             kLabelNames[label] + ")";
    }
    return s.empty() ? "none" : s;
}

int cmd_info(Context& ctx) {
    return for_each_item(ctx, ctx.args, info_one, false);
}

int cmd_type(Context& ctx) {
    OSType type = 0;
    OSType creator = 0;
    const bool clear = ctx.has("clear");
    if (clear && (ctx.has("type") || ctx.has("creator")))
        return ctx.usage_error("--clear cannot be given with --type or --creator");
    // Zero means "keep" to FSChangeCreatorType, so a code of four zero bytes
    // cannot be set that way; --clear is the way to no type and creator.
    for (const char* opt : {"type", "creator"}) {
        if (const std::string* v = ctx.value(opt)) {
            auto code = parse_ostype(*v);
            if (!code) {
                return ctx.usage_error(
                    "--" + std::string(opt) + " '" + *v + "' is not four characters",
                    " (write a byte that is not printable ASCII as \\xHH, a backslash as \\\\)");
            }
            if (*code == 0) {
                return ctx.usage_error("--" + std::string(opt) +
                                       " cannot be four zero bytes (--clear removes both codes)");
            }
            (opt[0] == 't' ? type : creator) = *code;
        }
    }
    const bool change = type != 0 || creator != 0 || clear;
    return for_each_item(ctx, ctx.args, [&](Context& c, const Item& item, std::string* meaning) {
        // Only plain files have a type and creator; asked of anything else,
        // say what it is rather than what storing them ran into.
        ItemKind kind;
        if (OSErr e = item_kind(item.ref, &kind, meaning)) return e;
        if ((item.walked || c.has("recursive")) && kind.letter == 'd') {
            meaning->clear();  // -R does the files in a folder, not the folders
            return static_cast<OSErr>(noErr);
        }
        if (!meaning->empty()) return static_cast<OSErr>(notAFileErr);
        if (clear) {
            FinderInfo fi;
            if (OSErr e = FSGetFinderInfo(&item.ref, &fi, nullptr, nullptr)) return e;
            fi.file.fileType = 0;
            fi.file.fileCreator = 0;
            if (OSErr e = FSSetFinderInfo(&item.ref, &fi, nullptr)) return e;
        } else if (change) {
            if (OSErr e = FSChangeCreatorType(&item.ref, creator, type)) return e;
        }
        if (change && !c.json) return static_cast<OSErr>(noErr);
        FinderInfo fi;
        if (OSErr e = FSGetFinderInfo(&item.ref, &fi, nullptr, nullptr)) return e;
        if (item.json != nullptr) {
            JsonWriter& j = *item.json;
            j.begin_object();
            j.name_field("path", item.path);
            j.key("type");
            fi.file.fileType ? j.string(format_ostype(fi.file.fileType)) : j.null();
            j.key("creator");
            fi.file.fileCreator ? j.string(format_ostype(fi.file.fileCreator)) : j.null();
            j.end_object();
        } else {
            if (item.many) {
                c.out.name(item.path);
                c.out << ": ";
            }
            c.out << "type " << (fi.file.fileType ? format_ostype(fi.file.fileType) : "")
                  << "  creator " << (fi.file.fileCreator ? format_ostype(fi.file.fileCreator) : "")
                  << "\n";
        }
        return static_cast<OSErr>(noErr);
    });
}

namespace {

struct FlagChange {
    bool set;
    UInt16 bit;    // one flag, or kColor for the label
    UInt16 label;  // with kColor: the label number, 0 to 7
};

bool parse_flag_word(std::string_view word, FlagChange* change) {
    if (word.rfind("label=", 0) == 0) {
        const std::string_view v = word.substr(6);
        for (UInt16 i = 0; i < 8; ++i) {
            if (v == kLabelNames[i] || (v.size() == 1 && v[0] == '0' + i)) {
                *change = {true, kColor, i};
                return true;
            }
        }
        return false;
    }
    bool set = true;
    if (!word.empty() && (word[0] == '+' || word[0] == '-')) {
        set = word[0] == '+';
        word.remove_prefix(1);
    }
    for (const FinderFlagName& f : kFlagNames) {
        if (word == f.name) {
            // Only the Finder sets "has been inited", when it has placed the item.
            if (f.bit == kHasBeenInited && set) return false;
            *change = {set, f.bit, 0};
            return true;
        }
    }
    return false;
}

// Only files and folders carry Finder flags and the lock. Asked to change a
// link, FIFO, socket or device, say what it is rather than what the attempt
// ran into ("permission denied", as root, for a FIFO).
OSErr refuse_other_kinds(const FSRef& ref, const char* what, std::string* meaning) {
    ItemKind kind;
    if (item_kind(ref, &kind) != noErr || kind.letter == '-' || kind.letter == 'd') return noErr;
    *meaning = std::string(what) + "; it is a " + kind.text;
    return errFSOperationNotSupported;
}

// The flags after `c`, applied to `flags`.
UInt16 with_flag(UInt16 flags, const FlagChange& c) {
    if (c.bit == kColor) return static_cast<UInt16>((flags & ~kColor) | (c.label << 1));
    return static_cast<UInt16>(c.set ? (flags | c.bit) : (flags & ~c.bit));
}

// Every word at once: the flags they leave, in one write of the Finder
// information, so that a command killed part-way has changed all of them
// or none; the parent folder's date is bumped once, as each flag
// utility bumps it.
OSErr apply_flags(const FSRef* ref, const std::vector<FlagChange>& changes) {
    FinderInfo fi;
    if (OSErr e = FSGetFinderInfo(ref, &fi, nullptr, nullptr)) return e;
    UInt16 flags = fi.file.finderFlags;  // a folder's flags sit at the same offset
    for (const FlagChange& c : changes) flags = with_flag(flags, c);
    if (flags == fi.file.finderFlags) return noErr;
    fi.file.finderFlags = flags;
    if (OSErr e = FSSetFinderInfo(ref, &fi, nullptr)) return e;
    FSRef parent;
    if (FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, nullptr, nullptr, &parent) == noErr)
        FSBumpDate(&parent);  // benign: as the flag utilities, best effort
    return noErr;
}

}  // namespace

bool is_flag_operand(std::string_view word) {
    FlagChange c;
    return parse_flag_word(word, &c) || word == "+inited";
}

int cmd_flags(Context& ctx) {
    // PATH... then flag words: the first word that is a flag ends the paths.
    std::vector<std::string> paths;
    std::vector<FlagChange> changes;
    for (const std::string& a : ctx.args) {
        FlagChange c;
        // A word with a sign is a flag word, known or not (a path that
        // starts with '+' is written ./+NAME).
        if (changes.empty() && !parse_flag_word(a, &c) && a[0] != '+' && a[0] != '-' &&
            a.rfind("label=", 0) != 0) {
            paths.push_back(a);
            continue;
        }
        if (!parse_flag_word(a, &c)) {
            if (a == "+inited" || a == "inited") {
                return ctx.usage_error("'inited' can only be cleared (-inited)");
            }
            std::string message = "unknown flag '" + a + "' (";
            for (const FinderFlagName& f : kFlagNames) {
                message += f.name;
                message += ", ";
            }
            message +=
                "-inited; label=0..7 or label=none, gray, green, purple, blue, yellow, red, "
                "orange)";
            return ctx.usage_error(message);
        }
        changes.push_back(c);
    }
    if (paths.empty()) return ctx.usage_error("missing PATH");
    return for_each_item(ctx, paths, [&](Context& c, const Item& item, std::string* meaning) {
        if (!changes.empty()) {
            if (OSErr e = refuse_other_kinds(item.ref, "only files and folders have Finder flags",
                                             meaning))
                return e;
        }
        if (!changes.empty())
            if (OSErr e = apply_flags(&item.ref, changes)) return e;
        if (!changes.empty() && !c.json) return static_cast<OSErr>(noErr);
        FinderInfo fi;
        if (OSErr e = FSGetFinderInfo(&item.ref, &fi, nullptr, nullptr)) return e;
        const UInt16 flags = fi.file.finderFlags;
        if (item.json != nullptr) {
            JsonWriter& j = *item.json;
            j.begin_object();
            j.name_field("path", item.path);
            json_flag_object(j, flags);
            j.end_object();
        } else {
            if (item.many) {
                c.out.name(item.path);
                c.out << ": ";
            }
            c.out << describe_finder_flags(flags) << " (" << hex16(flags) << ")\n";
        }
        return static_cast<OSErr>(noErr);
    });
}

namespace {

// Reads one item's node flags, turns the lock bit on or off, writes them back.
int set_lock(Context& ctx, bool lock) {
    return for_each_item(ctx, ctx.args, [lock](Context&, const Item& item, std::string* meaning) {
        if (OSErr e = refuse_other_kinds(item.ref, "only files and folders can be locked", meaning))
            return e;
        FSCatalogInfo info{};
        if (OSErr e =
                FSGetCatalogInfo(&item.ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr))
            return e;
        info.nodeFlags =
            lock ? (info.nodeFlags | kFSNodeLockedMask) : (info.nodeFlags & ~kFSNodeLockedMask);
        if (OSErr e = FSSetCatalogInfo(&item.ref, kFSCatInfoNodeFlags, &info)) return e;
        if (item.json != nullptr) {
            if (OSErr e = FSGetCatalogInfo(&item.ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr,
                                           nullptr))
                return e;
            JsonWriter& j = *item.json;
            j.begin_object();
            j.name_field("path", item.path);
            j.field("locked", (info.nodeFlags & kFSNodeLockedMask) != 0);
            j.end_object();
        }
        return static_cast<OSErr>(noErr);
    });
}

// How far apart two dates are, in whole seconds.
UInt64 seconds_apart(const UTCDateTime& a, const UTCDateTime& b) {
    const UInt64 x = (UInt64{a.highSeconds} << 32) | a.lowSeconds;
    const UInt64 y = (UInt64{b.highSeconds} << 32) | b.lowSeconds;
    return x > y ? x - y : y - x;
}

struct DateKind {
    const char* option;
    const char* json;
    FSCatalogInfoBitmap bit;
    Zero zero;  // what its zero means
    UTCDateTime FSCatalogInfo::*field;
};
constexpr DateKind kDateKinds[] = {
    {"created", "created", kFSCatInfoCreateDate, Zero::IsADate, &FSCatalogInfo::createDate},
    {"modified", "modified", kFSCatInfoContentMod, Zero::IsADate, &FSCatalogInfo::contentModDate},
    {"backup", "backed_up", kFSCatInfoBackupDate, Zero::IsNever, &FSCatalogInfo::backupDate},
    {"accessed", "accessed", kFSCatInfoAccessDate, Zero::IsADate, &FSCatalogInfo::accessDate},
};

}  // namespace

int cmd_lock(Context& ctx) {
    return set_lock(ctx, true);
}
int cmd_unlock(Context& ctx) {
    return set_lock(ctx, false);
}

int cmd_touch(Context& ctx) {
    FSCatalogInfoBitmap which = 0;
    for (const DateKind& k : kDateKinds) {
        if (ctx.has(k.option)) which |= k.bit;
    }
    if (which == 0) which = kFSCatInfoContentMod;
    const std::string* when = ctx.value("date");
    const std::string* reference = ctx.value("reference");
    if (when && reference) return ctx.usage_error("give --date or --reference, not both");
    std::optional<UTCDateTime> date;
    if (when && *when != "now") {
        date = parse_date(*when);
        if (!date) {
            return ctx.usage_error(
                "--date '" + *when + "' is not an ISO 8601 date from 1904 on, or 'now'",
                " (for example 2026-12-07, 2026-12-07T22:10:40Z or "
                "2026-12-07T23:10:40+01:00)");
        }
        // The one date the backup field cannot hold: its zero, which Mac
        // clients and this platform read as "never backed up".
        if ((which & kFSCatInfoBackupDate) != 0 && !date_is_set(*date)) {
            return ctx.usage_error("--backup --date '" + *when +
                                   "' is the date the Mac reads as never backed up; a backup "
                                   "date is from 1904-01-01T00:00:01Z on");
        }
    }
    FSCatalogInfo refInfo{};
    if (reference) {
        FSRef rref;
        if (OSErr e = path_ref(*reference, &rref)) return ctx.fm_error(*reference, e);
        if (OSErr e = FSGetCatalogInfo(&rref, which, &refInfo, nullptr, nullptr, nullptr))
            return ctx.fm_error(*reference, e);
    }
    // The plain form moves the modification date on as the utilities do
    // (FSBumpDate: always a change, the parent told); the others set dates.
    const bool bump = !reference && !date && which == kFSCatInfoContentMod && !when;
    return for_each_item(ctx, ctx.args, [&](Context&, const Item& item, std::string* meaning) {
        FSCatalogInfo after{};
        if (bump) {
            FSCatalogInfo before{};
            if (OSErr e = FSGetCatalogInfo(&item.ref, kFSCatInfoContentMod, &before, nullptr,
                                           nullptr, nullptr))
                return e;
            if (OSErr e = FSBumpDate(&item.ref)) return e;
            // FSBumpDate answers noErr even when it could not write the date
            // (it is a best-effort step after other changes). Asked
            // directly, an unchanged date is a failure: report the lock that
            // stopped it.
            if (OSErr e = FSGetCatalogInfo(&item.ref, kFSCatInfoContentMod, &after, nullptr,
                                           nullptr, nullptr))
                return e;
            if (same_date(before.contentModDate, after.contentModDate)) {
                OSErr why = FSCheckLock(&item.ref);
                *meaning = "the date could not be changed";
                return why != noErr ? why : static_cast<OSErr>(permErr);
            }
        } else {
            FSCatalogInfo set{};
            UTCDateTime now{};
            if (!reference && !date) GetUTCDateTime(&now, 0);
            for (const DateKind& k : kDateKinds) {
                if (!(which & k.bit)) continue;
                set.*k.field = reference ? refInfo.*k.field : date ? *date : now;
            }
            if (OSErr e = FSSetCatalogInfo(&item.ref, which, &set)) return e;
            if (OSErr e = FSGetCatalogInfo(&item.ref, which, &after, nullptr, nullptr, nullptr))
                return e;
            // A file system clamps a date it cannot hold (ext4 stops in 2446)
            // and the call succeeds: a date that came back another one is a
            // failure, and says what the item holds now. Two seconds allow
            // for file systems that keep coarser times.
            for (const DateKind& k : kDateKinds) {
                if (!(which & k.bit) || seconds_apart((set.*k.field), (after.*k.field)) <= 2)
                    continue;
                *meaning = std::string("the file system cannot hold the date ") +
                           format_date(set.*k.field) + "; the " + k.option + " date is now " +
                           human_date(after.*k.field, k.zero);
                return static_cast<OSErr>(paramErr);
            }
        }
        if (item.json != nullptr) {
            JsonWriter& j = *item.json;
            j.begin_object();
            j.name_field("path", item.path);
            for (const DateKind& k : kDateKinds) {
                if (which & k.bit) json_date(j, k.json, after.*k.field, k.zero);
            }
            j.end_object();
        }
        return static_cast<OSErr>(noErr);
    });
}

int cmd_copy_attrs(Context& ctx) {
    const std::string& src = ctx.args[0];
    const std::string& dst = ctx.args[1];
    FSRef sref;
    FSRef dref;
    if (OSErr e = path_ref(src, &sref)) return ctx.fm_error(src, e);
    if (OSErr e = path_ref(dst, &dref)) return ctx.fm_error(dst, e);
    std::string meaning;
    if (OSErr e = refuse_other_kinds(
            dref, "only files and folders have Finder information and the lock", &meaning))
        return ctx.fm_error(dst, e, meaning);
    if (OSErr e = FSCopyFileMgrAttributes(&sref, &dref, ctx.has("lock")))
        return ctx.fm_error(dst, e);
    if (ctx.json) {
        FSCatalogInfo info{};
        if (OSErr e =
                FSGetCatalogInfo(&dref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr)) {
            return ctx.fm_error(dst, e);
        }
        JsonWriter j(ctx.out);
        j.begin_object();
        j.name_field("source", src);
        j.name_field("path", dst);
        j.field("locked", (info.nodeFlags & kFSNodeLockedMask) != 0);
        j.end_object();
        j.finish();
    }
    return ctx.finish();
}

namespace {

// A comment call's parameter block for the item `ref` (named as an FSSpec
// names it, so that any name works, whatever Mac Roman can spell).
struct CommentCall {
    FSSpec spec{};
    DTPBRec pb{};
    OSErr prepare(const FSRef& ref) {
        if (OSErr e = FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr))
            return e;
        pb.ioVRefNum = spec.vRefNum;
        if (OSErr e = PBDTGetPath(&pb)) return e;
        pb.ioNamePtr = spec.name;
        pb.ioDirID = spec.parID;
        return noErr;
    }
};

// Files and folders have a comment; links, FIFOs, sockets and devices not.
bool can_have_comment(const FSRef& ref) {
    ItemKind kind;
    return item_kind(ref, &kind) != noErr || kind.letter == '-' || kind.letter == 'd';
}

}  // namespace

int cmd_comment(Context& ctx) {
    const std::string* text = ctx.value("set");
    const bool clear = ctx.has("clear");
    if (clear && text) return ctx.usage_error("give --set or --clear, not both");
    // The text is checked whole before any item is touched.
    std::string bytes;
    if (text) {
        std::string unmappable;
        const std::optional<std::string> converted = utf8_to_system_script(*text, &unmappable);
        if (!converted) {
            if (unmappable.empty()) return ctx.usage_error("the comment is not valid UTF-8 text");
            return ctx.usage_error("the comment cannot be stored: '" + unmappable +
                                   "' has no equivalent in " + system_script_name());
        }
        if (converted->size() > kDTCommentMaxLength) {
            return ctx.usage_error("the comment is " + std::to_string(converted->size()) +
                                   " bytes in " + system_script_name() + "; at most " +
                                   std::to_string(int(kDTCommentMaxLength)) + " fit");
        }
        if (converted->find('\0') != std::string::npos)
            return ctx.usage_error("the comment cannot hold a NUL character");
        bytes = *converted;
    }
    const bool change = text != nullptr || clear;
    return for_each_item(ctx, ctx.args, [&](Context& c, const Item& item, std::string* meaning) {
        // Only files and folders have a metadata record; -R passes over the
        // other items it meets when changing, as chattr -R does.
        if (change && item.walked && !can_have_comment(item.ref)) return static_cast<OSErr>(noErr);
        CommentCall call;
        if (OSErr e = call.prepare(item.ref)) return e;
        if (change) {
            OSErr e;
            if (bytes.empty()) {
                e = PBDTRemoveCommentSync(&call.pb);
                if (e == afpItemNotFound) e = noErr;  // already none: what was asked
            } else {
                call.pb.ioDTBuffer = bytes.data();
                call.pb.ioDTReqCount = SInt32(bytes.size());
                e = PBDTSetCommentSync(&call.pb);
            }
            if (e == errFSOperationNotSupported) {
                ItemKind kind;
                if (item_kind(item.ref, &kind) == noErr)
                    *meaning =
                        "only files and folders have a comment; it is a " + std::string(kind.text);
            }
            if (e != noErr || !c.json) return e;
        }
        char buf[kDTCommentMaxLength];
        call.pb.ioDTBuffer = buf;
        call.pb.ioDTReqCount = sizeof buf;
        std::optional<std::string> shown;
        const OSErr got = PBDTGetCommentSync(&call.pb);
        if (got != noErr && got != afpItemNotFound) return got;
        if (got == noErr) {
            const std::string_view raw(buf, std::size_t(call.pb.ioDTActCount));
            shown = system_script_to_utf8(raw);
            if (!shown) {
                *meaning = "the comment is not valid " + system_script_name() + " text";
                return static_cast<OSErr>(kTextMalformedInputErr);
            }
        }
        if (item.json != nullptr) {
            JsonWriter& j = *item.json;
            j.begin_object();
            j.name_field("path", item.path);
            j.key("comment");
            shown ? j.string(*shown) : j.null();
            j.end_object();
        } else {
            if (item.many) {
                c.out.name(item.path);
                c.out << ": ";
            }
            if (shown) c.out.name(*shown);
            c.out << "\n";
        }
        return static_cast<OSErr>(noErr);
    });
}

}  // namespace fmutil
