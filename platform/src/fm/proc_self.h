// This process's ID without a system call. Hidden (never installed).
//
// glibc no longer caches getpid(), and the layer asks on hot paths (is the
// mount-table watch ours or a forked parent's?). The ID is read once and
// read again in a child of fork(), whose atfork handler runs before any
// code of ours does. A child made by a raw clone(2) without fork's handlers
// would keep its parent's ID here: nothing of ours makes one, and such a
// child must exec before it calls into the layer.
#pragma once

#include <sys/types.h>

namespace vantrel::fm {

pid_t self_pid();

}  // namespace vantrel::fm
