// info, type, flags, lock, unlock, touch, copy-attrs: catalogue information
// and what the Finder shows about one item.
#include <cstring>
#include <string>

#include "commands.h"
#include "fmutil.h"
#include "text.h"
#include "vantrel/FSUtilities.h"

namespace fmutil {
namespace {

// Every Finder flag that info shows; the first five can be changed by `flags`.
constexpr FinderFlagName kFlagNames[] = {
    {"invisible", kIsInvisible},    {"namelocked", kNameLocked}, {"stationery", kIsStationery},
    {"customicon", kHasCustomIcon}, {"inited", kHasBeenInited},  {"alias", kIsAlias},
    {"bundle", kHasBundle},         {"shared", kIsShared},       {"noinits", kHasNoINITs},
    {"ondesk", kIsOnDesk},
};
constexpr std::size_t kSettableFlagNames = 5;

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

void json_date(JsonWriter& j, std::string_view key, const UTCDateTime& d) {
    j.key(key);
    if (date_is_set(d)) {
        j.string(format_date(d));
    } else {
        j.null();
    }
}

std::string human_date(const UTCDateTime& d) {
    return date_is_set(d) ? format_date(d) : "never";
}

void json_flag_object(JsonWriter& j, UInt16 flags) {
    j.key("finder_flags");
    j.begin_object();
    for (const FinderFlagName& f : kFlagNames) j.field(f.name, (flags & f.bit) != 0);
    j.field("value", hex16(flags));
    j.end_object();
}

// Reads one item's node flags, turns the lock bit on or off, writes them back.
int set_lock(Context& ctx, bool lock) {
    const std::string& path = ctx.args[0];
    FSRef ref;
    if (OSErr e = path_ref(path, &ref)) return ctx.fm_error(path, e);
    FSCatalogInfo info{};
    if (OSErr e = FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr)) {
        return ctx.fm_error(path, e);
    }
    info.nodeFlags =
        lock ? (info.nodeFlags | kFSNodeLockedMask) : (info.nodeFlags & ~kFSNodeLockedMask);
    if (OSErr e = FSSetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info)) return ctx.fm_error(path, e);
    if (ctx.json) {
        if (OSErr e =
                FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr)) {
            return ctx.fm_error(path, e);
        }
        JsonWriter j(ctx.out);
        j.begin_object();
        j.field("path", path);
        j.field("locked", (info.nodeFlags & kFSNodeLockedMask) != 0);
        j.end_object();
        j.finish();
    }
    return ctx.finish();
}

}  // namespace

const FinderFlagName* finder_flag_names(std::size_t* count) {
    *count = kSettableFlagNames;
    return kFlagNames;
}

std::string describe_finder_flags(UInt16 flags) {
    std::string s;
    for (const FinderFlagName& f : kFlagNames) {
        if (flags & f.bit) s += (s.empty() ? "" : ", ") + std::string(f.name);
    }
    if (flags & kColor)
        s +=
            (s.empty() ? "" : ", ") + std::string("label ") + std::to_string((flags & kColor) >> 1);
    return s.empty() ? "none" : s;
}

int cmd_info(Context& ctx) {
    const std::string& path = ctx.args[0];
    FSRef ref;
    if (OSErr e = path_ref(path, &ref)) return ctx.fm_error(path, e);
    constexpr FSCatalogInfoBitmap kWanted =
        kFSCatInfoNodeFlags | kFSCatInfoVolume | kFSCatInfoParentDirID | kFSCatInfoNodeID |
        kFSCatInfoAllDates | kFSCatInfoPermissions | kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo |
        kFSCatInfoDataSizes | kFSCatInfoRsrcSizes | kFSCatInfoUserPrivs;
    FSCatalogInfo info{};
    HFSUniStr255 uname{};
    if (OSErr e = FSGetCatalogInfo(&ref, kWanted, &info, &uname, nullptr, nullptr))
        return ctx.fm_error(path, e);
    // The lock that would stop a change: the item's own, or its volume's.
    const OSErr lock_state = FSCheckLock(&ref);

    const ItemKind kind = kind_of(info);
    // Type, creator and forks belong to plain files; a link, FIFO, socket or
    // device has none of them.
    const bool plain_file = kind.letter == '-';
    std::string name;
    append_disk_name(name, ref, uname);
    FileInfo fi;  // a folder's Finder flags sit at the same offset as a file's
    std::memcpy(&fi, info.finderInfo, sizeof fi);
    const UInt16 flags = fi.finderFlags;
    FSPermissionInfo perm;
    std::memcpy(&perm, info.permissions, sizeof perm);
    const UInt8 privs = info.userPrivileges;
    const char* lock_by = lock_state == fLckdErr   ? "item"
                          : lock_state == vLckdErr ? "volume"
                          : lock_state == wPrErr   ? "write-protected volume"
                                                   : nullptr;

    if (ctx.json) {
        JsonWriter j(ctx.out);
        j.begin_object();
        j.field("path", path);
        j.field("name", name);
        j.field("kind", kind.json);
        j.field_u("node_id", info.nodeID);
        j.field_u("parent_id", info.parentDirID);
        j.field("volume", static_cast<std::int64_t>(info.volume));
        j.field("locked", (info.nodeFlags & kFSNodeLockedMask) != 0);
        j.key("locked_by");
        lock_by ? j.string(lock_by) : j.null();
        j.key("dates");
        j.begin_object();
        json_date(j, "created", info.createDate);
        json_date(j, "modified", info.contentModDate);
        json_date(j, "attributes_modified", info.attributeModDate);
        json_date(j, "accessed", info.accessDate);
        json_date(j, "backed_up", info.backupDate);
        j.end_object();
        if (plain_file) {
            j.field("type", format_ostype(fi.fileType));
            j.field("creator", format_ostype(fi.fileCreator));
            j.field_u("data_size", info.dataLogicalSize);
            j.field_u("rsrc_size", info.rsrcLogicalSize);
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
        j.finish();
        return ctx.finish();
    }

    Out& o = ctx.out;
    human_line(o, "path", path);
    human_line(o, "name", name);
    human_line(o, "kind", kind.text);
    human_line(o, "node ID", std::to_string(info.nodeID));
    human_line(o, "parent ID", std::to_string(info.parentDirID));
    human_line(o, "volume", std::to_string(info.volume));
    human_line(o, "locked",
               (info.nodeFlags & kFSNodeLockedMask) ? "yes"
               : lock_by                            ? std::string("no (but the ") + lock_by + " is)"
                                                    : "no");
    human_line(o, "created", human_date(info.createDate));
    human_line(o, "modified", human_date(info.contentModDate));
    human_line(o, "attr. mod.", human_date(info.attributeModDate));
    human_line(o, "accessed", human_date(info.accessDate));
    human_line(o, "backed up", human_date(info.backupDate));
    if (plain_file) {
        human_line(o, "type", format_ostype(fi.fileType), true);
        human_line(o, "creator", format_ostype(fi.fileCreator), true);
        human_line(o, "data fork", std::to_string(info.dataLogicalSize) + " bytes");
        human_line(o, "rsrc fork", std::to_string(info.rsrcLogicalSize) + " bytes");
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
    return ctx.finish();
}

int cmd_type(Context& ctx) {
    const std::string& path = ctx.args[0];
    OSType type = 0;
    OSType creator = 0;
    // Zero means "keep" to FSChangeCreatorType, so a code of four zero bytes
    // cannot be set; refuse it rather than silently doing nothing.
    for (const char* opt : {"type", "creator"}) {
        if (const std::string* v = ctx.value(opt)) {
            auto code = parse_ostype(*v);
            if (!code) {
                return ctx.usage_error(
                    "--" + std::string(opt) + " '" + *v + "' is not four characters",
                    " (write a byte that is not printable ASCII as \\xHH, a backslash as \\\\)");
            }
            if (*code == 0)
                return ctx.usage_error("--" + std::string(opt) + " cannot be four zero bytes");
            (opt[0] == 't' ? type : creator) = *code;
        }
    }
    FSRef ref;
    if (OSErr e = path_ref(path, &ref)) return ctx.fm_error(path, e);
    // Only plain files have a type and creator; asked of anything else, say
    // what it is rather than what the attempt to store them ran into.
    ItemKind kind;
    std::string not_file;
    if (OSErr e = item_kind(ref, &kind, &not_file)) return ctx.fm_error(path, e);
    if (!not_file.empty()) return ctx.fm_error(path, notAFileErr, not_file);
    const bool change = type != 0 || creator != 0;
    if (change) {
        if (OSErr e = FSChangeCreatorType(&ref, creator, type)) return ctx.fm_error(path, e);
        if (!ctx.json) return ctx.finish();
    }
    FinderInfo fi;
    Boolean dir = 0;
    if (OSErr e = FSGetFinderInfo(&ref, &fi, nullptr, &dir)) return ctx.fm_error(path, e);
    if (dir) return ctx.fm_error(path, notAFileErr);
    if (ctx.json) {
        JsonWriter j(ctx.out);
        j.begin_object();
        j.field("path", path);
        j.field("type", format_ostype(fi.file.fileType));
        j.field("creator", format_ostype(fi.file.fileCreator));
        j.end_object();
        j.finish();
    } else {
        ctx.out << "type " << format_ostype(fi.file.fileType) << "  creator "
                << format_ostype(fi.file.fileCreator) << "\n";
    }
    return ctx.finish();
}

namespace {

struct FlagChange {
    bool set;
    UInt16 bit;
};

bool parse_flag_word(std::string_view word, FlagChange* change) {
    bool set = true;
    if (!word.empty() && (word[0] == '+' || word[0] == '-')) {
        set = word[0] == '+';
        word.remove_prefix(1);
    }
    std::size_t n = 0;
    const FinderFlagName* names = finder_flag_names(&n);
    for (std::size_t i = 0; i < n; ++i) {
        if (word == names[i].name) {
            // There is no utility that sets "has been inited": only the Finder does.
            if (names[i].bit == kHasBeenInited && set) return false;
            *change = {set, names[i].bit};
            return true;
        }
    }
    return false;
}

OSErr apply_flag(const FSRef* ref, const FlagChange& c) {
    switch (c.bit) {
        case kIsInvisible:
            return c.set ? FSSetInvisible(ref) : FSClearInvisible(ref);
        case kNameLocked:
            return c.set ? FSSetNameLocked(ref) : FSClearNameLocked(ref);
        case kIsStationery:
            return c.set ? FSSetIsStationery(ref) : FSClearIsStationery(ref);
        case kHasCustomIcon:
            return c.set ? FSSetHasCustomIcon(ref) : FSClearHasCustomIcon(ref);
        case kHasBeenInited:
            return FSClearHasBeenInited(ref);
        default:
            return paramErr;
    }
}

}  // namespace

bool is_flag_operand(std::string_view word) {
    FlagChange c;
    return parse_flag_word(word, &c) || word == "+inited";
}

int cmd_flags(Context& ctx) {
    const std::string& path = ctx.args[0];
    std::vector<FlagChange> changes;
    for (std::size_t i = 1; i < ctx.args.size(); ++i) {
        FlagChange c;
        if (!parse_flag_word(ctx.args[i], &c)) {
            if (ctx.args[i] == "+inited" || ctx.args[i] == "inited") {
                return ctx.usage_error("'inited' can only be cleared (-inited)");
            }
            return ctx.usage_error("unknown flag '" + ctx.args[i] +
                                   "' (invisible, namelocked, stationery, customicon, -inited)");
        }
        changes.push_back(c);
    }
    FSRef ref;
    if (OSErr e = path_ref(path, &ref)) return ctx.fm_error(path, e);
    for (const FlagChange& c : changes) {
        if (OSErr e = apply_flag(&ref, c)) return ctx.fm_error(path, e);
    }
    if (!changes.empty() && !ctx.json) return ctx.finish();
    FinderInfo fi;
    if (OSErr e = FSGetFinderInfo(&ref, &fi, nullptr, nullptr)) return ctx.fm_error(path, e);
    const UInt16 flags = fi.file.finderFlags;
    if (ctx.json) {
        JsonWriter j(ctx.out);
        j.begin_object();
        j.field("path", path);
        json_flag_object(j, flags);
        j.end_object();
        j.finish();
    } else {
        ctx.out << describe_finder_flags(flags) << " (" << hex16(flags) << ")\n";
    }
    return ctx.finish();
}

int cmd_lock(Context& ctx) {
    return set_lock(ctx, true);
}
int cmd_unlock(Context& ctx) {
    return set_lock(ctx, false);
}

int cmd_touch(Context& ctx) {
    const std::string& path = ctx.args[0];
    FSRef ref;
    if (OSErr e = path_ref(path, &ref)) return ctx.fm_error(path, e);
    FSCatalogInfo before{};
    if (OSErr e =
            FSGetCatalogInfo(&ref, kFSCatInfoContentMod, &before, nullptr, nullptr, nullptr)) {
        return ctx.fm_error(path, e);
    }
    if (OSErr e = FSBumpDate(&ref)) return ctx.fm_error(path, e);
    // FSBumpDate answers noErr even when it could not write the date (it is
    // used as a best-effort step after other changes). Asked directly, an
    // unchanged date is a failure: report the lock that stopped it.
    FSCatalogInfo after{};
    if (OSErr e = FSGetCatalogInfo(&ref, kFSCatInfoContentMod, &after, nullptr, nullptr, nullptr)) {
        return ctx.fm_error(path, e);
    }
    if (std::memcmp(&before.contentModDate, &after.contentModDate, sizeof(UTCDateTime)) == 0) {
        OSErr why = FSCheckLock(&ref);
        return ctx.fm_error(path, why != noErr ? why : static_cast<OSErr>(permErr));
    }
    if (ctx.json) {
        JsonWriter j(ctx.out);
        j.begin_object();
        j.field("path", path);
        json_date(j, "modified", after.contentModDate);
        j.end_object();
        j.finish();
    }
    return ctx.finish();
}

int cmd_copy_attrs(Context& ctx) {
    const std::string& src = ctx.args[0];
    const std::string& dst = ctx.args[1];
    FSRef sref;
    FSRef dref;
    if (OSErr e = path_ref(src, &sref)) return ctx.fm_error(src, e);
    if (OSErr e = path_ref(dst, &dref)) return ctx.fm_error(dst, e);
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
        j.field("source", src);
        j.field("path", dst);
        j.field("locked", (info.nodeFlags & kFSNodeLockedMask) != 0);
        j.end_object();
        j.finish();
    }
    return ctx.finish();
}

}  // namespace fmutil
