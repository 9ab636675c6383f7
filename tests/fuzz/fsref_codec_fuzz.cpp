// Drives the FSRef codec with arbitrary bytes, as callers may hand any 80
// bytes to every File Manager call. Whatever the parser accepts must be a
// reference this layer could have made: encoding its fields gives the same
// bytes back, and its leaf is one path component that cannot climb out of
// its directory. Everything else is refused with errFSBadFSRef (fnfErr only
// for 80 zero bytes). Any breach aborts; ASan/UBSan report memory faults.
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fm/ref_codec.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fsref codec: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel::fm;
    FSRef ref;
    std::memset(&ref, 0, sizeof ref);
    std::memcpy(&ref, data, size < sizeof ref ? size : sizeof ref);
    RefFields f;
    const OSErr e = decode_ref(ref, &f);
    static const FSRef zero{};
    const bool allZero = std::memcmp(&ref, &zero, sizeof ref) == 0;
    if (e == fnfErr) {
        if (!allZero) fail("fnfErr for bytes that are not all zero");
        return 0;
    }
    if (e != noErr) {
        if (e != errFSBadFSRef) fail("refused with an unexpected code");
        if (allZero) fail("zero bytes refused as a bad reference");
        return 0;
    }
    FSRef again;
    encode_ref(f, &again);
    if (std::memcmp(&ref, &again, sizeof ref) != 0) fail("accepted bytes do not encode back");
    if (f.vref >= 0) fail("a volume number that is not negative");
    if (f.root) {
        if (!f.name.empty() || !f.dir) fail("a root with a name, or not a directory");
        return 0;
    }
    if (f.name.empty() || f.name.size() > kInlineNameBytes) fail("name length");
    if (f.name == "." || f.name == "..") fail("a name that leaves the directory");
    if (f.name.find('/') != std::string::npos || f.name.find('\0') != std::string::npos)
        fail("a name of more than one component");
    if (f.longName && f.name.size() != kInlineNameBytes) fail("a long name that is not full");
    // The identity rule holds for the object the reference describes when
    // no birth time is known, and fails for any other inode.
    struct statx st;
    std::memset(&st, 0, sizeof st);
    st.stx_ino = f.ino;
    st.stx_dev_major = major(dev_t(f.dev));
    st.stx_dev_minor = minor(dev_t(f.dev));
    if (makedev(st.stx_dev_major, st.stx_dev_minor) == dev_t(f.dev)) {
        if (!same_object(identity_of(f), st)) fail("the described object is not itself");
        st.stx_ino = f.ino + 1;
        if (same_object(identity_of(f), st)) fail("another inode passes as the object");
    }
    return 0;
}
