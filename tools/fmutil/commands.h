// The handlers behind fmutil's command table (one per command).
#pragma once

#include "cli.h"

namespace fmutil {

int cmd_info(Context& ctx);
int cmd_type(Context& ctx);
int cmd_flags(Context& ctx);
int cmd_lock(Context& ctx);
int cmd_unlock(Context& ctx);
int cmd_touch(Context& ctx);
int cmd_comment(Context& ctx);
int cmd_copy_attrs(Context& ctx);
int cmd_rsrc(Context& ctx);
// What afpObjectTypeErr means where a fork is to be written or an item comes
// to a name: the platform found a "._NAME" there that is not a resource fork
// (a user's own file) and keeps it rather than putting a fork in its place.
// Empty for any other code.
std::string_view placed_meaning(OSErr e);

int cmd_ls(Context& ctx);
int cmd_tree(Context& ctx);
int cmd_rm(Context& ctx);
int cmd_orphans(Context& ctx);
int cmd_dot_clean(Context& ctx);
int cmd_convert(Context& ctx);

int cmd_mv(Context& ctx);
int cmd_swap(Context& ctx);
int cmd_cp(Context& ctx);
int cmd_volumes(Context& ctx);
int cmd_fileid(Context& ctx);

// Finder flag names as the command line spells them, with their bits.
struct FinderFlagName {
    const char* name;
    UInt16 bit;
};
const FinderFlagName* finder_flag_names(std::size_t* count);
// "invisible, namelocked" (or "none") for a Finder-flags word.
std::string describe_finder_flags(UInt16 flags);

}  // namespace fmutil
