#include "commands.h"

namespace fmutil {

bool is_flag_operand(std::string_view word);  // commands_attrs.cpp

const std::vector<CommandSpec>& commands() {
    static const std::vector<CommandSpec> table{
        {"info",
         "PATH",
         "show catalogue information: IDs, kind, lock, dates, type, creator, flags, sizes",
         "Shows the node and parent IDs, the kind, whether the item or its volume is locked,\n"
         "the five dates (UTC), type and creator (files), the Finder flags, both fork sizes,\n"
         "owner, group and mode, and what the calling user may do with the item.\n",
         1,
         1,
         {},
         true,
         nullptr,
         cmd_info},
        {"type",
         "PATH [--type XXXX] [--creator XXXX]",
         "show or change a file's type and creator",
         "Without options, prints the type and creator. A code is four bytes: printable\n"
         "ASCII as is, any other byte as \\xHH, a backslash as \\\\ (for example 'MPG ' or\n"
         "'\\x00\\x00\\x00\\x01'). A code of four zero bytes cannot be set.\n",
         1,
         1,
         {{"type", true, "--type XXXX      the new file type"},
          {"creator", true, "--creator XXXX   the new creator"}},
         true,
         nullptr,
         cmd_type},
        {"flags",
         "PATH [[+|-]invisible] [[+|-]namelocked] [[+|-]stationery] [[+|-]customicon] [-inited]",
         "show, set or clear Finder flags",
         "Without flag words, prints the Finder flags. A word without a sign sets the flag;\n"
         "'-inited' clears \"has been inited\" so that the Finder looks at the item again.\n"
         "Words are applied in order; each change also bumps the parent folder's date.\n",
         1,
         6,
         {},
         true,
         is_flag_operand,
         cmd_flags},
        {"lock",
         "PATH",
         "lock an item (the immutable attribute)",
         "",
         1,
         1,
         {},
         true,
         nullptr,
         cmd_lock},
        {"unlock", "PATH", "unlock an item", "", 1, 1, {}, true, nullptr, cmd_unlock},
        {"touch",
         "PATH",
         "set the content-modification date to now",
         "The date always changes: if the clock still shows the stored date it moves one\n"
         "second on. A file's parent folder, or the folder itself, is told of the change.\n"
         "If the date could not be written, the lock or permission that stopped it is reported.\n",
         1,
         1,
         {},
         true,
         nullptr,
         cmd_touch},
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
         {{"long", false, "-l, --long       more than the names", 'l'}},
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
         {{"depth", true, "--depth N        go at most N levels down (0: no limit)"}},
         true,
         nullptr,
         cmd_tree},
        {"rm",
         "DIR [--contents-only]",
         "delete a directory and everything in it",
         "Deletes locked items too. Symbolic links are deleted, never followed, and nothing\n"
         "outside DIR is touched even if the tree changes meanwhile. Stops at the first\n"
         "error; what was deleted before it stays deleted. DIR must be a directory; '/' and\n"
         "a DIR whose last component is '.' or '..' are refused, as rm refuses them. When\n"
         "standard error is a terminal, progress is shown there.\n",
         1,
         1,
         {{"contents-only", false, "--contents-only  empty DIR but keep it"}},
         true,
         nullptr,
         cmd_rm},
        {"mv",
         "PATH DESTDIR [NEWNAME]",
         "move an item into a directory on the same volume, renaming it",
         "NEWNAME is one file name. If the final rename fails (an item with that name is\n"
         "already there), the item goes back to its former place and name.\n",
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
         "FILE DESTDIR [NEWNAME]",
         "copy a file into a directory",
         "Copies both forks and the Finder information. An existing item of that name is\n"
         "never replaced. NEWNAME must fit the 31-byte names of the copy operation.\n",
         2,
         3,
         {},
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
         "list mounted volumes with their sizes and lock state",
         "",
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
         "VOLUME is any path on the volume, usually its mount point.\n",
         1,
         2,
         {{"resolve", false, "--resolve        find the file with an ID"}},
         true,
         nullptr,
         cmd_fileid},
    };
    return table;
}

}  // namespace fmutil
