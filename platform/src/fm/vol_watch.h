// Whether mounts came or went, asked per resolution without a system call
// (vol_watch.cpp). Hidden (never installed).
//
// The mount table's descriptor says a change with POLLPRI, but asking it
// is a poll(2) per resolution. Here each thread keeps an io_uring with one
// poll of a mount-table descriptor of its own armed in it: the kernel posts
// the completion into memory the thread reads, so asking costs a load. The
// completion is posted by the thread itself, before it next returns from
// the kernel (the kernel interrupts it to do so): an unmount this thread
// made, or one it waited for (a child's, another thread's that it joined or
// was woken by), is there by the time it asks.
#pragma once

namespace vantrel::fm {

enum class MountSignal {
    Unchanged,  // no change since this thread's watch was armed
    Changed,    // mounts may have come or gone since: read the table again
    Unwatched,  // this thread has no watch armed: ask the table's descriptor
};

// What this thread's watch says, without a system call. A Changed watch
// is used up: arm_thread_watch arms it again.
MountSignal thread_watch_signal();

// Arms this thread's watch from now: a change after this returns is
// signalled. The watch is made only once the thread has been refused it a
// number of times (a short-lived thread polls the few times it asks). False
// when it is not made yet or cannot be (no io_uring here, refused, out of
// descriptors): the caller polls instead.
bool arm_thread_watch();

// For tests: whether threads may make watches (on by default); off, every
// resolution asks the table's descriptor.
void use_thread_watches(bool on);
// For tests: how many asks a thread answers by poll before it makes its
// watch (0: at the first; negative: the default).
void make_thread_watches_after(int asks);

// Whether the process may open descriptors enough (64) to keep some for
// watching the mount table. Where it may open only a few, they are the
// walks' (each level of a tree holds one, a copy its journal too): a thread
// then makes no watch of its own, and the table is read again at each ask
// instead of being watched.
bool descriptors_to_spare();

}  // namespace vantrel::fm
