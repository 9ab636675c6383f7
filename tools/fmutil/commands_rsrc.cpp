// rsrc: a file's resource fork as bytes, read and replaced through the File
// Manager's fork calls (wherever the platform keeps the fork).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "commands.h"
#include "fmutil.h"
#include "text.h"

namespace fmutil {
namespace {

// Reads the whole of a descriptor; false with errno set on a read error.
bool read_all(int fd, std::string* out) {
    char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(buf, static_cast<std::size_t>(n));
    }
}

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

OSErr write_fork(FSIORefNum fork, const std::string& data) {
    if (OSErr e = FSSetForkSize(fork, fsFromStart, 0)) return e;
    ByteCount done = 0;
    if (data.empty()) return noErr;
    if (OSErr e = FSWriteFork(fork, fsFromStart, 0, data.size(), data.data(), &done)) return e;
    if (done != data.size()) return ioErr;
    return noErr;
}

}  // namespace

int cmd_rsrc(Context& ctx) {
    const std::string& path = ctx.args[0];
    const std::string* from = ctx.value("set");
    const bool clear = ctx.has("clear");
    if (from && clear) return ctx.usage_error("give --set or --clear, not both");
    // The new contents are read whole before the fork is touched: input that
    // cannot be read changes nothing.
    std::string data;
    if (from) {
        const bool fromStdin = *from == "-";
        const int fd = fromStdin ? 0 : ::open(from->c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || !read_all(fd, &data)) {
            const int err = errno;
            if (fd > 0) ::close(fd);
            ctx.err << "fmutil: rsrc: cannot read ";
            ctx.err.name(fromStdin ? std::string_view("standard input") : std::string_view(*from));
            ctx.err << ": " << std::strerror(err) << "\n";
            ctx.err.flush();
            return kExitFileManager;
        }
        if (!fromStdin) ::close(fd);
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
    // old fork stands as it was; memory stays flat in the fork's size.
    SInt64 size = 0;
    OSErr e = change     ? write_fork(fork, data)
              : ctx.json ? FSGetForkSize(fork, &size)
                         : print_fork(fork, ctx.out);
    const OSErr closed = FSCloseFork(fork);
    if (!e) e = closed;
    if (e) return ctx.fm_error(path, e, placed_meaning(e));
    if (ctx.json) {
        JsonWriter j(ctx.out);
        j.begin_object();
        j.name_field("path", path);
        j.field_u("rsrc_size", change ? data.size() : static_cast<std::uint64_t>(size));
        j.end_object();
        j.finish();
    }
    return ctx.finish();
}

}  // namespace fmutil
