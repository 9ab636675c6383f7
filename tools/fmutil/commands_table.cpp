#include "commands.h"

namespace fmutil {

bool is_flag_operand(std::string_view word);  // commands_attrs.cpp

namespace {

// A file ID that prints as a negative number is an operand, not an option.
bool is_negative_number(std::string_view word) {
    return word.size() > 1 && word[0] == '-' &&
           word.find_first_not_of("0123456789", 1) == std::string_view::npos;
}

}  // namespace

#define ITEMS_NOTE                                                                      \
    "Takes one or more paths; -R also does every item below a directory, never\n"       \
    "following links. A failure, or a directory that cannot be read, is reported and\n" \
    "the rest go on; the exit status is then 1. With several items, --json prints\n"    \
    "{\"items\":[...],\"errors\":[...]}.\n"
#define RECURSIVE \
    { "recursive", false, "-R, --recursive  also every item below a directory", 'R' }
#define NUL_OPTION \
    { "null", false, "-0, --null       end each entry with a NUL byte, not a newline", '0' }
// No upper limit on the number of operands.
constexpr std::size_t kMany = static_cast<std::size_t>(-1);

const std::vector<CommandSpec>& commands() {
    static const std::vector<CommandSpec> table{
        {"info",
         "PATH... [-R]",
         "show catalogue information: IDs, kind, lock, dates, type, creator, flags, sizes",
         "Shows the node and parent IDs, the kind, whether the item or its volume is locked,\n"
         "the five dates (UTC), type and creator (plain files; blank when unset), the Finder\n"
         "flags, both fork sizes, owner, group and mode, and what the calling user may "
         "do.\n"
         "A plain file lists, as \"mac attr\", each extended attribute macOS keeps in its\n"
         "._ file (written on volumes without extended attributes) with its size.\n" ITEMS_NOTE,
         1,
         kMany,
         {RECURSIVE},
         true,
         nullptr,
         cmd_info},
        {"type",
         "PATH... [--type XXXX] [--creator XXXX | --clear] [-R]",
         "show or change a file's type and creator",
         "Without options, prints the type and creator (blank, or null in JSON, when unset).\n"
         "A code is four bytes: printable ASCII as is, any other byte as \\xHH, a backslash\n"
         "as \\\\ (for example 'MPG ' or '\\x00\\x00\\x00\\x01'). --clear sets both back to\n"
         "none. Only plain files have a type and creator. The parent folder's date is "
         "bumped.\n" ITEMS_NOTE,
         1,
         kMany,
         {{"type", true, "--type XXXX      the new file type"},
          {"creator", true, "--creator XXXX   the new creator"},
          {"clear", false, "--clear          no type and no creator"},
          RECURSIVE},
         true,
         nullptr,
         cmd_type},
        {"flags",
         "PATH... [[+|-]FLAG...] [label=COLOUR] [-R]",
         "show, set or clear Finder flags and the label colour",
         "Without flag words, prints the Finder flags. FLAG is one of invisible, namelocked,\n"
         "stationery, customicon, alias, bundle, shared, noinits, ondesk, or inited (which\n"
         "can only be cleared, '-inited', so that the Finder looks at the item again). A word\n"
         "without a sign sets the flag. COLOUR is 0 to 7 or none, gray, green, purple, blue,\n"
         "yellow, red, orange. The paths come first: the first flag word ends them (write a\n"
         "file named like a flag as ./NAME). Words are applied in order, all in one write;\n"
         "the parent folder's date is bumped.\n" ITEMS_NOTE,
         1,
         kMany,
         {RECURSIVE},
         true,
         is_flag_operand,
         cmd_flags},
        {"lock",
         "PATH... [-R]",
         "lock an item (the immutable attribute; needs CAP_LINUX_IMMUTABLE)",
         ITEMS_NOTE,
         1,
         kMany,
         {RECURSIVE},
         true,
         nullptr,
         cmd_lock},
        {"unlock",
         "PATH... [-R]",
         "unlock an item (needs CAP_LINUX_IMMUTABLE)",
         ITEMS_NOTE,
         1,
         kMany,
         {RECURSIVE},
         true,
         nullptr,
         cmd_unlock},
        {"touch",
         "PATH... [--date WHEN | --reference FILE] [--created] [--modified] [--backup]\n"
         "       [--accessed] [-R]",
         "set an item's dates",
         "Without options, moves the modification date to now, and it always changes: if\n"
         "the clock still shows the stored date it moves one second on; a file's parent\n"
         "folder, or the folder itself, is told of the change. Otherwise sets the chosen\n"
         "dates (the modification date when none is chosen) to WHEN, an ISO 8601 date or\n"
         "time (UTC unless it has a zone) or 'now', or to FILE's dates. A creation or backup\n"
         "date that POSIX cannot hold is kept in the Mac metadata. If a date could not be\n"
         "written, the lock or permission that stopped it is reported, and a date the file\n"
         "system could not hold (it keeps another) is an error.\n" ITEMS_NOTE,
         1,
         kMany,
         {{"date", true, "--date WHEN      ISO 8601 (2026-12-07T22:10:40Z) or 'now'"},
          {"reference", true, "--reference FILE FILE's dates"},
          {"created", false, "--created        the creation date"},
          {"modified", false, "--modified       the content-modification date (the default)"},
          {"backup", false, "--backup         the backup date"},
          {"accessed", false, "--accessed       the access date"},
          RECURSIVE},
         true,
         nullptr,
         cmd_touch},
        {"comment",
         "PATH... [--set TEXT | --clear] [-R]",
         "show, set or remove the Finder comment",
         "Without options, prints the comment (blank, or null in JSON, when there is none).\n"
         "--set stores TEXT; --clear (or --set '') removes the comment. A comment is at most\n"
         "200 bytes in the system script's encoding (Mac Roman unless the locale names\n"
         "another script): longer text, or a character the encoding lacks, is refused before\n"
         "anything is written. Files and folders have comments; links, FIFOs, sockets and\n"
         "devices do not (-R passes over them when changing). The comment lives in the item's "
         "metadata record\n"
         "(user.org.netatalk.Metadata), where Netatalk and Samba keep it.\n" ITEMS_NOTE,
         1,
         kMany,
         {{"set", true, "--set TEXT       the new comment"},
          {"clear", false, "--clear          remove the comment"},
          RECURSIVE},
         true,
         nullptr,
         cmd_comment},
        {"rsrc",
         "FILE [--set FROM | --clear]",
         "print or replace a file's resource fork",
         "Without options, writes the resource fork's bytes to standard output (nothing\n"
         "when it is empty). --set replaces them with the bytes of the file FROM, or of\n"
         "standard input when FROM is '-'; FROM is read whole first, and if the new fork\n"
         "cannot be written the old one is put back. --clear empties it. With --json, the\n"
         "fork's size is printed instead of its bytes.\n",
         1,
         1,
         {{"set", true, "--set FROM       replace the fork with FROM's bytes ('-': stdin)"},
          {"clear", false, "--clear          empty the fork"}},
         true,
         nullptr,
         cmd_rsrc},
        {"ls",
         "[DIR] [-l|--long]",
         "list a directory's own items, in the order the directory holds them",
         "Prints one name per line, unsorted; DIR defaults to the current directory. With\n"
         "--long: the kind (- file, d directory, l symbolic link, p FIFO, s socket, c and b\n"
         "devices) and lock (L), type, creator (blank when unset), the data fork's and the\n"
         "resource fork's sizes, the modification date and the name, in aligned columns. A\n"
         "note on standard error says when the directory changed while it was listed.\n",
         0,
         1,
         {{"long", false, "-l, --long       more than the names", 'l'}, NUL_OPTION},
         true,
         nullptr,
         cmd_ls},
        {"tree",
         "DIR [--depth N]",
         "list every item below a directory, depth first",
         "Prints each item's path (DIR/sub/name, directories with a trailing /), each\n"
         "directory followed by its contents. --depth 1 lists only DIR's own items; 0, the\n"
         "default, has no limit. Symbolic links are listed, never followed, and DIR may not\n"
         "reach its directory through one ('lnk/.', 'lnk/..'). A directory that cannot be\n"
         "read is named on standard error and the walk goes on with the rest; the exit\n"
         "status is then 1, as find's is. When standard error is a terminal, a count of\n"
         "items is shown there.\n",
         1,
         1,
         {{"depth", true, "--depth N        go at most N levels down (0: no limit)"}, NUL_OPTION},
         true,
         nullptr,
         cmd_tree},
        {"rm",
         "PATH... [--contents-only] [-f|--force] [-n|--dry-run] [-v|--verbose]",
         "delete files, and directories with everything in them",
         "Deletes locked items too. Symbolic links are deleted, never followed, and nothing\n"
         "outside a directory PATH is touched even if the tree changes meanwhile. Within one\n"
         "PATH it stops at the first error, which names the item that could not be deleted;\n"
         "what was deleted before it stays deleted; the other PATHs are still done. '/' and\n"
         "a PATH whose last component is '.' or '..' are refused, as rm refuses them, before\n"
         "anything is deleted. --dry-run lists what would go, in the order it would go, names\n"
         "what rm would refuse, and deletes nothing; --verbose names each item deleted as\n"
         "rm -v does ('removed directory' for a folder, each path quoted for the shell).\n"
         "--force, as rm -f, says nothing of a PATH that is not there (another program\n"
         "deleted it first). When standard error is a terminal, progress is shown there.\n",
         1,
         kMany,
         {{"contents-only", false, "--contents-only  empty each directory but keep it"},
          {"force", false, "-f, --force      a PATH that is not there is no error", 'f'},
          {"dry-run", false, "-n, --dry-run    list what would be deleted; delete nothing", 'n'},
          {"verbose", false, "-v, --verbose    name each item deleted", 'v'}},
         true,
         nullptr,
         cmd_rm},
        {"orphans",
         "PATH... [--remove]",
         "find what no listing shows: orphaned forks, leftovers, files under a fork's name",
         "Lists, in each folder PATH at every depth, the \"._NAME\" entries that are no\n"
         "item's resource fork and that listings never show: orphans (a fork whose file NAME\n"
         "is gone), leftovers (a temporary of a change that was cut short, whose program is\n"
         "gone) and files of the user's own under a fork's name, which rm and cp -r leave\n"
         "where they are. --remove removes the orphans and leftovers, each looked at again\n"
         "first, so that a fork whose file came back and a change running now are kept; a\n"
         "file of the user's own is never removed: move it away to keep it. Netatalk 2's\n"
         ".AppleDouble folders are looked in too: an entry whose file is gone is an orphan.\n",
         1,
         kMany,
         {{"remove", false, "--remove         remove the orphans and leftovers found"}},
         true,
         nullptr,
         cmd_orphans},
        {"dot-clean",
         "PATH... [--keep=mostrecent|dotbar|native] [-n] [-m] [-v]",
         "merge \"._\" files into the volume's layout and remove them, as macOS's dot_clean",
         "In each folder PATH at every depth, merges what each \"._NAME\" holds for its file\n"
         "NAME into the places the volume's layout keeps it (fmutil volumes shows the\n"
         "layout), then removes it where the layout has no use for it. Of a \"._\" file macOS\n"
         "wrote, the Finder information goes to the metadata record (and on stream volumes\n"
         "to the AfpInfo stream) and each attribute of its ATTR block to the attribute Samba\n"
         "keeps a Mac client's stream of that name in (user.DosStream.NAME:$DATA). The\n"
         "resource fork goes to the AFP_Resource stream on a stream volume; elsewhere\n"
         "\"._NAME\" is the fork's home and stays, rewritten as Samba writes it. Where the\n"
         "file has a value of its own, --keep chooses: mostrecent (the default: the \"._\"\n"
         "file's when it was modified after the file), dotbar (always the \"._\" file's) or\n"
         "native (always the file's). Each file is done whole or not at all: every value is\n"
         "written before its \"._\" file goes. A \"._\" file holding what the layout has no\n"
         "room for (a fork larger than an attribute on a stream volume) is kept and reported;\n"
         "-m removes it all the same, losing that. -n also removes the \"._\" files whose file\n"
         "is gone (see orphans). A file of the user's own under a \"._\" name is never\n"
         "touched. -v names each \"._\" file and what became of it.\n",
         1,
         kMany,
         {{"keep", true, "--keep WHICH     mostrecent, dotbar or native: whose value stays"},
          {"orphans", false, "-n, --orphans    also remove \"._\" files whose file is gone", 'n'},
          {"always-remove", false,
           "-m, --always-remove  remove \"._\" files even where not all fits", 'm'},
          {"verbose", false, "-v, --verbose    name each \"._\" file and what became of it", 'v'}},
         true,
         nullptr,
         cmd_dot_clean},
        {"convert",
         "PATH... [--to=netatalk|stream|stream+file] [--names=nfc|nfd] [-n] [-v]",
         "move Mac metadata to another layout, names to another normal form",
         "Moves the Mac metadata of each PATH and every item below it, from every layout it\n"
         "has (the metadata record, the AfpInfo stream, \"._\" sidecars, the AFP_Resource\n"
         "stream, \"._\" files macOS wrote, Netatalk 2's .AppleDouble folders, which go\n"
         "once empty) to the layout --to names, as Samba's fruit\n"
         "settings name them: netatalk (the record, forks in \"._NAME\"), stream (the\n"
         "AfpInfo and AFP_Resource streams) or stream+file (the AfpInfo stream, forks in\n"
         "\"._NAME\"). What moves is what the item shows now (fmutil info); a Samba share\n"
         "set up with the new layout then serves the same type, creator, flags and fork. The\n"
         "comment and the dates stay in the record, where Samba keeps them. Each item is\n"
         "done whole or not at all, every value written in its new place before the old one\n"
         "goes: an item cut short by a kill shows the same either way, and convert run again\n"
         "finishes it. A fork larger than an attribute holds (stream) is reported and left\n"
         "as it was.\n"
         "--names renames each item (PATH too, files and folders) whose name is not stored in\n"
         "the normal form asked for: nfc (composed, what Mac clients of a Samba share with\n"
         "catia expect) or nfd (decomposed, as HFS+ and Netatalk store names), its fork and\n"
         "metadata going with it; with --to, after its metadata moved. Characters HFS+ never\n"
         "decomposes (U+2000 to U+2FFF, U+F900 to U+FAFF, U+2F800 to U+2FAFF: the OHM and\n"
         "ANGSTROM signs, the CJK compatibility ideographs) are kept in both forms, as Macs\n"
         "keep them. An item is left as it was, and reported, when another item of its folder\n"
         "has the new name already (in that form or another: both are named), when its name\n"
         "in that form would be longer than 255 bytes, or when its name is not UTF-8.\n"
         "-n only says what would change. -v names each item converted and what moved, and\n"
         "each item renamed; a summary ends the output.\n",
         1,
         kMany,
         {{"to", true, "--to LAYOUT      netatalk, stream or stream+file"},
          {"names", true, "--names FORM     nfc or nfd: the normal form names are stored in"},
          {"dry-run", false, "-n, --dry-run    say what would change; change nothing", 'n'},
          {"verbose", false, "-v, --verbose    name each item converted and what moved", 'v'}},
         true,
         nullptr,
         cmd_convert},
        {"mv",
         "PATH DEST [NEWNAME]",
         "move or rename an item, to another volume too",
         "When DEST is a directory, the item moves into it (named NEWNAME if given). When\n"
         "DEST does not exist, it is the item's new path: 'mv old new' renames. An existing\n"
         "item is never replaced. If the final rename fails, the item goes back to its\n"
         "former place and name. To another volume, the item is copied as cp -r copies and\n"
         "then deleted; the source stays if anything could not be copied. A locked item's\n"
         "copy is locked too; where the other volume cannot lock it, it is not moved.\n"
         "NEWNAME is one file name.\n",
         2,
         3,
         {},
         true,
         nullptr,
         cmd_mv},
        {"swap",
         "FILE1 FILE2",
         "exchange two files' contents",
         "Afterwards FILE1's name and place hold FILE2's data and resource forks and the\n"
         "other way round; dates, flags, type and creator stay with the names. Works on one\n"
         "volume; partial work is undone on failure.\n",
         2,
         2,
         {},
         true,
         nullptr,
         cmd_swap},
        {"cp",
         "FILE DESTDIR [NEWNAME] | -r FOLDER DESTDIR [NEWNAME] | FILE --replace TARGET",
         "copy a file or folder into a directory, or over an existing file safely",
         "Copies a file with both forks, Finder information, comment, dates, permissions,\n"
         "other extended attributes and, as root, owner, as cp -a keeps them. An existing\n"
         "item of that name is never replaced; NEWNAME may be any file name (the copy is\n"
         "made under a short temporary name, then renamed). Where the file system allows\n"
         "it (O_TMPFILE), a copy takes its name only once complete. --replace makes a copy\n"
         "of FILE where no one sees it and puts it in TARGET's place in one rename: TARGET\n"
         "keeps its creation date, Finder information, comment, permissions and owner, and\n"
         "is never seen half replaced, even after a kill; a TARGET with other hard links\n"
         "is refused. -r copies a folder\n"
         "and everything in it the same way; links, devices, FIFOs and sockets are\n"
         "reported and left out.\n",
         2,
         3,
         {{"replace", false, "--replace        replace the contents of the existing file TARGET"},
          {"recursive", false, "-r, --recursive  copy a folder and everything in it", 'r'}},
         true,
         nullptr,
         cmd_cp},
        {"copy-attrs",
         "SRC DST [--lock]",
         "copy dates, permissions and Finder information to another item",
         "Copies every settable attribute except \"has been inited\"; the lock only with --lock.\n",
         2,
         2,
         {{"lock", false, "--lock           copy the lock too"}},
         true,
         nullptr,
         cmd_copy_attrs},
        {"volumes",
         "",
         "list mounted volumes with their sizes, lock state and Mac metadata layout",
         "The layout is where Mac metadata is written on the volume (netatalk, stream or\n"
         "stream+file, as Samba's fruit settings name them), from /etc/vantrel/volumes.conf,\n"
         "the user's own volumes.conf (lines PATH LAYOUT) or VANTREL_MAC_LAYOUT. Of each\n"
         "volume, the first 64 items of its root folder are looked at: where some carry Mac\n"
         "metadata in another layout, a warning on stderr says how many (fmutil convert\n"
         "moves it).\n",
         0,
         0,
         {},
         true,
         nullptr,
         cmd_volumes},
        {"fileid",
         "PATH | --resolve VOLUME ID",
         "show a file's ID, or find the file that has an ID",
         "'fileid PATH' prints the file's ID (creating it if needed) and its volume's mount\n"
         "point; 'fileid --resolve VOLUME ID' prints the path of the file with that ID.\n"
         "VOLUME is any path on the volume, usually its mount point. An ID is as fileid\n"
         "prints it (half of all IDs are negative numbers).\n",
         1,
         2,
         {{"resolve", false, "--resolve        find the file with an ID"}},
         true,
         is_negative_number,
         cmd_fileid},
    };
    return table;
}

#undef ITEMS_NOTE
#undef RECURSIVE
#undef NUL_OPTION

}  // namespace fmutil
