// rsrc: a file's resource fork as bytes, read and replaced through the File
// Manager's fork calls (wherever the platform keeps the fork).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "fmutil.h"
#include "text.h"
#include "vantrel/ForkCopy.h"

namespace fmutil {
namespace {

// Streams the fork to `out` a piece at a time: memory stays flat in the
// fork's size (a planted 4 GiB sparse sidecar is 4 GiB of output, never of
// memory). Stops early once the output has failed.
OSErr print_fork(FSIORefNum fork, Out& out) {
    char buf[64 * 1024];
    for (;;) {
        ByteCount got = 0;
        const OSErr e = FSReadFork(fork, fsAtMark, 0, sizeof buf, buf, &got);
        out.buf().append(buf, got);
        out.maybe_flush();
        if (e == eofErr) return noErr;
        if (e) return e;
        if (got == 0 || !out.ok()) return noErr;
    }
}

// Replaces the fork with everything `in` holds, a piece at a time: memory
// stays flat in the fork's size. The fork is emptied first (its shadow then
// holds nothing of the old one), and the change reaches the disk only at
// FSCloseFork. Input that fails halfway takes every change back, so the old
// fork stands: *readErr is then its errno and the result noErr.
OSErr write_fork(FSIORefNum fork, int in, std::uint64_t* total, int* readErr) {
    *total = 0;
    *readErr = 0;
    if (OSErr e = FSSetForkSize(fork, fsFromStart, 0)) return e;
    std::vector<char> buf(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *readErr = errno;
            return VantrelFSDiscardForkChanges(fork);
        }
        if (n == 0) return noErr;
        ByteCount done = 0;
        if (OSErr e = FSWriteFork(fork, fsAtMark, 0, ByteCount(n), buf.data(), &done)) return e;
        if (done != ByteCount(n)) return ioErr;
        *total += std::uint64_t(n);
    }
}

void cannot_read(Context& ctx, const std::string& from, int err) {
    ctx.err << "fmutil: rsrc: cannot read ";
    ctx.err.name(from == "-" ? std::string_view("standard input") : std::string_view(from));
    ctx.err << ": " << std::strerror(err) << "\n";
    ctx.err.flush();
}

// Closes the input on every way out of the command.
struct Input {
    int fd = -1;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    Input() = default;
    ~Input() {
        if (fd > 0) ::close(fd);
    }
};

}  // namespace

int cmd_rsrc(Context& ctx) {
    const std::string& path = ctx.args[0];
    const std::string* from = ctx.value("set");
    const bool clear = ctx.has("clear");
    if (from && clear) return ctx.usage_error("give --set or --clear, not both");
    // The input is opened before the fork is touched: a name that cannot be
    // opened changes nothing; one that fails while it is read is taken back.
    Input input;
    if (from) {
        input.fd = *from == "-" ? 0 : ::open(from->c_str(), O_RDONLY | O_CLOEXEC);
        if (input.fd < 0) {
            cannot_read(ctx, *from, errno);
            return kExitFileManager;
        }
    }
    FSRef ref;
    if (OSErr e = path_ref(path, &ref)) return ctx.fm_error(path, e);
    ItemKind kind;
    std::string notFile;
    if (OSErr e = item_kind(ref, &kind, &notFile)) return ctx.fm_error(path, e);
    if (!notFile.empty()) return ctx.fm_error(path, notAFileErr, notFile);
    HFSUniStr255 forkName{};
    if (OSErr e = FSGetResourceForkName(&forkName)) return ctx.fm_error(path, e);

    // The first write makes the fork: an emptied one leaves none behind.
    const bool change = from != nullptr || clear;
    FSIORefNum fork = 0;
    if (OSErr e = FSOpenFork(&ref, forkName.length, forkName.unicode,
                             change ? fsRdWrPerm : fsRdPerm, &fork)) {
        return ctx.fm_error(path, e);
    }
    // A change never reads the old fork: it is replaced whole, and a write
    // that fails (a full disk) throws away what this open changed, so the
    // old fork stands as it was.
    SInt64 size = 0;
    std::uint64_t written = 0;
    int readErr = 0;
    OSErr e = from       ? write_fork(fork, input.fd, &written, &readErr)
              : clear    ? FSSetForkSize(fork, fsFromStart, 0)
              : ctx.json ? FSGetForkSize(fork, &size)
                         : print_fork(fork, ctx.out);
    const OSErr closed = FSCloseFork(fork);
    if (!e) e = closed;
    if (e) return ctx.fm_error(path, e, placed_meaning(e));
    if (readErr != 0) {
        cannot_read(ctx, *from, readErr);
        return kExitFileManager;
    }
    if (ctx.json) {
        JsonWriter j(ctx.out);
        j.begin_object();
        j.name_field("path", path);
        j.field_u("rsrc_size", change ? written : static_cast<std::uint64_t>(size));
        j.end_object();
        j.finish();
    }
    return ctx.finish();
}

}  // namespace fmutil
