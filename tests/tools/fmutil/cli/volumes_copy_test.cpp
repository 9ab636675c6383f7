// cp -r, cp and mv from one volume to another (tmpfs and ramfs mounted in a
// private mount namespace), where what the destination can hold differs
// from what the source has: what cp -a and mv keep is kept, what cannot be
// kept is named and the source stays whole.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Child.h"
#include "FileFlags.h"
#include "LoopImage.h"
#include "Sidecar.h"
#include "TempDir.h"
#include "fmutil_run.h"

namespace fs = std::filesystem;
using fmtest::run;

namespace {

// One case: `body` makes what it needs under `src` (a tmpfs), runs fmutil
// towards `dst` (a tmpfs or a ramfs, as `dest` says) and returns what went
// wrong, "" when nothing did.
struct VolumeCase {
    const char* what;
    const char* dest;  // "tmpfs", "ramfs" or "ext4" (a loop image)
    const char* size;  // the tmpfs's size
    std::function<std::string(const fs::path& src, const fs::path& dst)> body;
};

std::string attr(const fs::path& p, const char* name) {
    char buf[8192];
    const ssize_t n = ::lgetxattr(p.c_str(), name, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, static_cast<std::size_t>(n));
}

// The names of `p`'s extended attributes, sorted, one per line.
std::string attr_names(const fs::path& p) {
    char buf[8192];
    const ssize_t n = ::llistxattr(p.c_str(), buf, sizeof buf);
    if (n < 0) return "<cannot list>";
    std::vector<std::string> names;
    for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(std::strlen(buf + i)) + 1)
        names.emplace_back(buf + i);
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& one : names) out += one + "\n";
    return out;
}

// The "created" line of `fmutil info`.
std::string created(const fs::path& p) {
    const std::string info = run({"info", p}).out;
    const auto c = info.find("created");
    return c == std::string::npos ? "<none>" : info.substr(c, info.find('\n', c) - c);
}

bool said(const fmtest::Result& r, const std::string& words) {
    return r.err.find(words) != std::string::npos;
}

// Appends `what` to `problems` unless `ok`.
void expect(std::string& problems, bool ok, const std::string& what) {
    if (!ok) problems += what + "\n";
}

const std::vector<VolumeCase>& volume_cases() {
    static const std::vector<VolumeCase> cases = {
        {"mv of a locked file keeps the lock on the copy", "tmpfs", "16m",
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             vtest::write_file(src / "f", "locked data");
             if (!vtest::set_immutable(src / "f", true)) return std::string("cannot lock");
             auto r = run({"mv", src / "f", dst});
             expect(p, r.status == 0, "mv failed: " + r.err);
             expect(p, !vtest::present(src / "f"), "the source stayed");
             expect(p, vtest::read_file(dst / "f") == "locked data", "the copy lost its data");
             expect(p, vtest::is_immutable(dst / "f"), "the copy is not locked");
             return p;
         }},
        {"mv of a locked file where no lock can be kept is refused", "ramfs", nullptr,
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             vtest::write_file(src / "f", "locked data");
             if (!vtest::set_immutable(src / "f", true)) return std::string("cannot lock");
             auto r = run({"mv", src / "f", dst});
             expect(p, r.status == 1, "mv did not fail: " + std::to_string(r.status));
             expect(p, r.err.find("never drops a lock") != std::string::npos,
                    "the refusal does not say why: " + r.err);
             expect(p, vtest::is_immutable(src / "f"), "the source lost its lock");
             expect(p, vtest::read_file(src / "f") == "locked data", "the source changed");
             expect(p, !vtest::present(dst / "f"), "an unlocked copy was left");
             return p;
         }},
        {"mv of a tree keeps the locks of its files and folders", "tmpfs", "16m",
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             vtest::write_file(src / "t/sub/f", "in a locked folder");
             vtest::write_file(src / "t/g", "plain");
             if (!vtest::set_immutable(src / "t/sub/f", true) ||
                 !vtest::set_immutable(src / "t/sub", true))
                 return std::string("cannot lock");
             auto r = run({"mv", src / "t", dst});
             expect(p, r.status == 0, "mv failed: " + r.err);
             expect(p, !vtest::present(src / "t"), "the source stayed");
             expect(p, vtest::is_immutable(dst / "t/sub/f"), "the file's copy is not locked");
             expect(p, vtest::is_immutable(dst / "t/sub"), "the folder's copy is not locked");
             expect(p, !vtest::is_immutable(dst / "t/g"), "an unlocked file was locked");
             return p;
         }},
        // The copy is not made without the attribute, and the message names
        // it with the system's own words.
        {"mv of a file with an attribute the destination cannot hold names it", "ramfs", nullptr,
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             vtest::write_file(src / "f", "data");
             ::lsetxattr((src / "f").c_str(), "user.foo", "bar", 3, 0);
             auto r = run({"mv", src / "f", dst});
             expect(p, r.status == 1, "mv did not fail: " + std::to_string(r.status));
             expect(p, said(r, "user.foo cannot be kept on the copy: Operation not supported"),
                    "the attribute is not named: " + r.err);
             expect(p, said(r, "the source is kept"), "does not say the source stays: " + r.err);
             expect(p, attr(src / "f", "user.foo") == "bar", "the source lost its attribute");
             expect(p, !vtest::present(dst / "f"), "a copy without the attribute was left");
             return p;
         }},
        {"cp and cp -r of such a file name it and make no copy", "ramfs", nullptr,
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             vtest::write_file(src / "t/f", "data");
             ::lsetxattr((src / "t/f").c_str(), "user.foo", "bar", 3, 0);
             auto r = run({"cp", src / "t/f", dst});
             expect(p, r.status == 1, "cp did not fail: " + std::to_string(r.status));
             expect(p, said(r, "user.foo cannot be kept"), "cp: not named: " + r.err);
             expect(p, !vtest::present(dst / "f"), "cp left a copy without the attribute");
             r = run({"cp", src / "t/f", dst, "g"});
             expect(p, r.status == 1 && said(r, "user.foo cannot be kept"),
                    "cp with a new name: not named: " + r.err);
             r = run({"cp", "-r", src / "t", dst});
             expect(p,
                    r.status == 1 && said(r, src.string() + "/t/f: ") &&
                        said(r, "user.foo cannot be kept"),
                    "cp -r: not named: " + r.err);
             expect(p, !vtest::present(dst / "t"), "cp -r left a copy without the attribute");
             return p;
         }},
        {"mv onto a full disk says what the system said and keeps the source", "tmpfs", "1m",
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             vtest::write_file(src / "big", std::string(3 << 20, 'b'));
             auto r = run({"mv", src / "big", dst});
             expect(p, r.status == 1, "mv did not fail: " + std::to_string(r.status));
             expect(p, said(r, "dskFulErr (-34): No space left on device"),
                    "not the system's words: " + r.err);
             expect(p, fs::file_size(src / "big") == 3 << 20, "the source changed");
             expect(p, fs::is_empty(dst), "something was left on the full disk");
             return p;
         }},
        // A tree that does not fit: nothing of it is left, under its name or
        // a hidden one, and a move keeps its source whole.
        {"cp -r and mv of a tree onto a full disk leave nothing of it there", "tmpfs", "2m",
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             for (const char* f : {"t/a", "t/b", "t/c"})
                 vtest::write_file(src / f, std::string(900000, f[2]));
             vtest::write_file(src / "fork", "fork of a");
             run({"rsrc", src / "t/a", "--set", src / "fork"});
             auto left = [&](const std::string& how) {
                 std::string names;
                 for (const auto& e : fs::directory_iterator(dst))
                     names += " " + e.path().filename().string();
                 expect(p, names.empty(), how + ": left in the destination:" + names);
             };
             for (const char* cmd : {"cp", "mv"}) {
                 auto r = cmd == std::string("cp") ? run({"cp", "-r", src / "t", dst})
                                                   : run({"mv", src / "t", dst});
                 expect(p, r.status == 1, std::string(cmd) + " did not fail: " + r.err);
                 expect(p, said(r, "dskFulErr (-34): No space left on device"),
                        std::string(cmd) + ": not the system's words: " + r.err);
                 left(cmd);
                 run({"ls", dst});
                 left(std::string(cmd) + ", after the next listing");
                 for (const char* f : {"t/a", "t/b", "t/c"})
                     expect(p, vtest::read_file(src / f) == std::string(900000, f[2]),
                            std::string(cmd) + ": the source lost " + f);
                 expect(p, run({"rsrc", src / "t/a"}).out == "fork of a",
                        std::string(cmd) + ": the source lost its fork");
             }
             return p;
         }},
        // Hard links: two names of one file stay two names of one copy, each
        // with the fork of its own name.
        {"cp -r and mv of a tree keep its hard links, a fork per name", "tmpfs", "16m",
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             vtest::write_file(src / "t/a", "shared");
             fs::create_directory(src / "t/sub");
             fs::create_hard_link(src / "t/a", src / "t/sub/b");
             fs::create_hard_link(src / "t/a", src / "t/c");
             vtest::write_file(src / "fork-a", "fork of a");
             vtest::write_file(src / "fork-b", "fork of b");
             run({"rsrc", src / "t/a", "--set", src / "fork-a"});
             run({"rsrc", src / "t/sub/b", "--set", src / "fork-b"});
             auto check = [&](const std::string& how, const fs::path& t) {
                 const ino_t a = vtest::ino_of(t / "a");
                 expect(p, a != 0 && vtest::ino_of(t / "sub/b") == a && vtest::ino_of(t / "c") == a,
                        how + ": the names are not one file");
                 expect(p, fs::hard_link_count(t / "a") == 3,
                        how + ": links " + std::to_string(fs::hard_link_count(t / "a")));
                 expect(p, vtest::read_file(t / "c") == "shared", how + ": the data differs");
                 expect(p, run({"rsrc", t / "a"}).out == "fork of a", how + ": a's fork");
                 expect(p, run({"rsrc", t / "sub/b"}).out == "fork of b", how + ": b's fork");
                 expect(p, !vtest::present(t / "._c"), how + ": c got a fork");
             };
             auto r = run({"cp", "-r", src / "t", dst});
             expect(p, r.status == 0, "cp -r failed: " + r.err);
             check("cp -r", dst / "t");
             r = run({"mv", src / "t", dst / "moved"});
             expect(p, r.status == 0, "mv failed: " + r.err);
             expect(p, !vtest::present(src / "t"), "mv kept the source");
             check("mv", dst / "moved");
             return p;
         }},
        // A sparse fork keeps its holes: a 1 GiB fork of no data fits on a
        // 64 MiB disk, as cp -a copies a sparse file.
        {"cp and mv of a file with a sparse fork keep its holes", "tmpfs", "64m",
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             vtest::write_file(src / "f", "data");
             std::string header = vtest::sidecar_bytes(std::string());
             header.resize(0x52, '\0');
             const std::uint32_t len = 1U << 30;
             for (int i = 0; i < 4; ++i) header[34 + i] = static_cast<char>(len >> (24 - 8 * i));
             vtest::write_bytes(src / "._f", header);
             fs::resize_file(src / "._f", 0x52 + std::uintmax_t{len});
             auto r = run({"cp", src / "f", dst});
             expect(p, r.status == 0, "cp failed: " + r.err);
             struct stat st {};
             expect(p, ::stat((dst / "._f").c_str(), &st) == 0 && st.st_size == 0x52 + len,
                    "the copy's fork is not 1 GiB long");
             expect(p, st.st_blocks * 512 < (1 << 20),
                    "the copy's fork takes " + std::to_string(st.st_blocks * 512) + " bytes");
             fs::remove(dst / "f");
             fs::remove(dst / "._f");
             r = run({"mv", src / "f", dst});
             expect(p, r.status == 0, "mv failed: " + r.err);
             expect(p, vtest::present(dst / "._f") && !vtest::present(src / "f"),
                    "mv did not move the fork");
             return p;
         }},
        // Attributes of its own that fill the room ext4 gives one file: the
        // copy has no room for a record the source did not have, and is made
        // as cp -a makes it, not refused.
        {"mv and cp of a file whose own attributes fill ext4's room", "ext4", nullptr,
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             const std::string note(3800, 'n');
             for (const char* f : {"moved", "copied", "t/in-tree"}) {
                 vtest::write_file(src / f, "data");
                 ::lsetxattr((src / f).c_str(), "user.note", note.data(), note.size(), 0);
             }
             auto r = run({"mv", src / "moved", dst});
             expect(p, r.status == 0, "mv failed: " + r.err);
             expect(p, attr(dst / "moved", "user.note") == note, "mv lost the note");
             expect(p, !vtest::present(src / "moved"), "mv kept the source");
             r = run({"cp", src / "copied", dst});
             expect(p, r.status == 0, "cp failed: " + r.err);
             expect(p, attr(dst / "copied", "user.note") == note, "cp lost the note");
             r = run({"cp", "-r", src / "t", dst});
             expect(p, r.status == 0, "cp -r failed: " + r.err);
             expect(p, attr(dst / "t/in-tree", "user.note") == note, "cp -r lost the note");
             return p;
         }},
        // A copy is given only what its source had, and its creation date
        // (the source's birth, which POSIX cannot give a new file) in the
        // precise dates alone: no metadata record, and a small file stays in
        // the one block cp -a's copy takes.
        {"cp, cp -r and mv of a plain file add no record, only the creation date", "ext4", nullptr,
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             for (const char* f : {"copied", "moved", "t/in-tree"}) {
                 vtest::write_file(src / f, "data");
                 ::lsetxattr((src / f).c_str(), "user.other", "hello", 5, 0);
             }
             const std::string names = attr_names(src / "copied");
             const std::string born = created(src / "copied");
             const std::string bornMoved = created(src / "moved");
             const std::string bornInTree = created(src / "t/in-tree");
             auto r = run({"cp", src / "copied", dst});
             expect(p, r.status == 0 && r.err.empty(), "cp failed: " + r.err);
             r = run({"cp", "-r", src / "t", dst});
             expect(p, r.status == 0 && r.err.empty(), "cp -r failed: " + r.err);
             r = run({"mv", src / "moved", dst});
             expect(p, r.status == 0 && r.err.empty(), "mv failed: " + r.err);
             // The source's own, and the creation date (tmpfs keeps births).
             const fs::path with = vtest::write_file(src / "with", "");
             ::lsetxattr(with.c_str(), "user.other", "hello", 5, 0);
             ::lsetxattr(with.c_str(), "user.org.vantrel.Dates", "", 0, 0);
             const std::string want = attr_names(with);
             expect(p, want != names, "the source cannot show the attributes a copy needs");
             for (const char* f : {"copied", "moved", "t/in-tree"}) {
                 expect(p, attr_names(dst / f) == want,
                        std::string(f) + ": attributes\n" + attr_names(dst / f) + "not\n" + want);
                 expect(p, attr(dst / f, "user.org.netatalk.Metadata") == "<none>",
                        std::string(f) + ": a record was added");
             }
             expect(p, created(dst / "copied") == born, "cp: " + created(dst / "copied"));
             expect(p, created(dst / "moved") == bornMoved, "mv: " + created(dst / "moved"));
             expect(p, created(dst / "t/in-tree") == bornInTree,
                    "cp -r: " + created(dst / "t/in-tree"));
             // The peer: cp -a's copy of the same file on the same disk.
             if (std::system(("cp -a '" + (src / "t/in-tree").string() + "' '" +
                              (dst / "peer").string() + "'")
                                 .c_str()) != 0)
                 return p + "cp -a failed\n";
             struct stat mine {
             }, peer{};
             const bool both = ::stat((dst / "copied").c_str(), &mine) == 0 &&
                               ::stat((dst / "peer").c_str(), &peer) == 0;
             expect(p, both && mine.st_blocks == peer.st_blocks,
                    "the copy takes " + std::to_string(mine.st_blocks) + " blocks, cp -a's " +
                        std::to_string(peer.st_blocks));
             return p;
         }},
        // A destination without extended attributes has no place for the
        // creation date: the copy is made, as cp -a makes it, and the date
        // it does not keep is named.
        {"cp and mv where the creation date has no place name it and copy", "ramfs", nullptr,
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             // Born now, changed long ago: a copy shows another creation date.
             const timespec old[2] = {{978307200, 0}, {978307200, 0}};
             for (const char* f : {"f", "t/g"})
                 ::utimensat(AT_FDCWD, vtest::write_file(src / f, "data").c_str(), old, 0);
             auto r = run({"cp", src / "f", dst});
             expect(p, r.status == 0, "cp failed: " + r.err);
             expect(p, said(r, dst.string() + "/f: the creation date was not kept"),
                    "cp: the creation date is not named: " + r.err);
             expect(p, vtest::read_file(dst / "f") == "data", "cp: no copy");
             r = run({"cp", "-r", src / "t", dst});
             expect(p, r.status == 0, "cp -r failed: " + r.err);
             expect(p, said(r, dst.string() + "/t/g: the creation date was not kept"),
                    "cp -r: the creation date is not named: " + r.err);
             r = run({"mv", src / "f", dst, "moved"});
             expect(p, r.status == 0, "mv failed: " + r.err);
             expect(p,
                    said(r,
                         "/moved: the creation date was not kept (the copy shows its own): "
                         "Operation not supported"),
                    "mv: the creation date is not named: " + r.err);
             expect(p, !vtest::present(src / "f") && vtest::read_file(dst / "moved") == "data",
                    "mv did not move the file");
             return p;
         }},
        // A copy keeps its source's name bytes: a name that is not UTF-8
        // (Latin-1 here), and names stored decomposed as Mac clients store
        // them, for files and folders, at the top and inside.
        {"cp -r and mv keep the bytes of every name", "tmpfs", "16m",
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             const std::string latin = "r\xe9sum\xe9";  // not UTF-8
             const std::string nfd = "Cafe\xcc\x81";    // "Café", decomposed
             const std::vector<std::string> inside = {latin, latin + "/" + nfd,
                                                      latin + "/" + nfd + "/e\xcc\x81",
                                                      latin + "/caf\xe9", nfd};
             for (const char* top : {"t", "u"}) {
                 vtest::write_file(src / top / latin / nfd / "e\xcc\x81", "deep");
                 vtest::write_file(src / top / latin / "caf\xe9", "latin");
                 vtest::write_file(src / top / nfd, "decomposed");
             }
             vtest::write_file(src / latin, "a file of its own");
             fs::create_directories(src / (nfd + "-dir") / latin);
             auto check = [&](const std::string& how, const fs::path& t) {
                 for (const std::string& n : inside)
                     expect(p, vtest::present(t / n), how + ": no " + (t / n).string());
             };
             auto r = run({"cp", "-r", src / "t", dst});
             expect(p, r.status == 0, "cp -r failed: " + r.err);
             check("cp -r", dst / "t");
             r = run({"mv", src / "u", dst});
             expect(p, r.status == 0, "mv failed: " + r.err);
             check("mv", dst / "u");
             r = run({"mv", src / latin, dst});
             expect(p, r.status == 0 && vtest::read_file(dst / latin) == "a file of its own",
                    "mv of a file named in Latin-1: " + r.err);
             r = run({"mv", src / (nfd + "-dir"), dst});
             expect(p, r.status == 0 && vtest::present(dst / (nfd + "-dir") / latin),
                    "mv of a folder named decomposed: " + r.err);
             r = run({"cp", "-r", dst / (nfd + "-dir") / latin, src});
             expect(p, r.status == 0 && vtest::present(src / latin),
                    "cp -r of a folder named in Latin-1: " + r.err);
             return p;
         }},
        // Folders keep their times to the nanosecond, as files do, set
        // after their contents.
        {"cp -r and mv keep folder times to the nanosecond", "tmpfs", "16m",
         [](const fs::path& src, const fs::path& dst) {
             std::string p;
             const timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
             for (const char* top : {"t", "u"}) {
                 vtest::write_file(src / top / "sub/f", "data");
                 for (const fs::path& d : {src / top / "sub", src / top})
                     ::utimensat(AT_FDCWD, d.c_str(), times, 0);
             }
             auto check = [&](const std::string& how, const fs::path& d) {
                 struct stat st {};
                 const bool ok = ::stat(d.c_str(), &st) == 0;
                 expect(p,
                        ok && st.st_atim.tv_sec == times[0].tv_sec &&
                            st.st_atim.tv_nsec == times[0].tv_nsec &&
                            st.st_mtim.tv_sec == times[1].tv_sec &&
                            st.st_mtim.tv_nsec == times[1].tv_nsec,
                        how + " " + d.filename().string() + ": mtime " +
                            std::to_string(st.st_mtim.tv_sec) + "." +
                            std::to_string(st.st_mtim.tv_nsec) + ", atime " +
                            std::to_string(st.st_atim.tv_sec) + "." +
                            std::to_string(st.st_atim.tv_nsec));
             };
             auto r = run({"cp", "-r", src / "t", dst});
             expect(p, r.status == 0, "cp -r failed: " + r.err);
             check("cp -r", dst / "t");
             check("cp -r", dst / "t/sub");
             r = run({"mv", src / "u", dst});
             expect(p, r.status == 0, "mv failed: " + r.err);
             check("mv", dst / "u");
             check("mv", dst / "u/sub");
             return p;
         }},
    };
    return cases;
}

}  // namespace

TEST(FmutilVolumes, CopiesAndMovesToAnotherVolumeKeepOrNameWhatTheyCannotKeep) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    vtest::TempDir t("fmvolumes");
    const auto r = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        std::string problems;
        std::string skipped;  // cases whose file system cannot be made here
        int n = 0;
        for (const VolumeCase& c : volume_cases()) {
            const fs::path src = t.mkdir("src" + std::to_string(n));
            const fs::path dst = t.mkdir("dst" + std::to_string(n));
            ++n;
            if (::mount("tmpfs", src.c_str(), "tmpfs", 0, "size=16m") != 0)
                return std::string("cannot mount a tmpfs for: ") + c.what;
            if (std::string(c.dest) == "ext4") {
                // As a disk of some size is made: 4 KiB blocks and 256-byte
                // inodes (a small image would get 1 KiB blocks, too small
                // for the attributes the case gives a file).
                constexpr vtest::FileSystemKind kExt4Disk{"ext4", "mkfs.ext4 -q -F -b 4096 -I 256",
                                                          "ext4", "", 64};
                const std::string why =
                    vtest::mount_fresh(kExt4Disk, t.path() / ("image" + std::to_string(n)), dst);
                if (!why.empty()) {
                    skipped += std::string(c.what) + ": " + why + "\n";
                    ::umount(src.c_str());
                    continue;
                }
            } else if (::mount(c.dest, dst.c_str(), c.dest, 0,
                               c.size != nullptr ? ("size=" + std::string(c.size)).c_str()
                                                 : nullptr) != 0) {
                return std::string("cannot mount ") + c.dest + " for: " + c.what;
            }
            const std::string p = c.body(src, dst);
            if (!p.empty()) problems += std::string(c.what) + ":\n" + p;
            for (const fs::path& m : {src, dst}) {
                for (auto it = fs::recursive_directory_iterator(m);
                     it != fs::recursive_directory_iterator(); ++it)
                    vtest::clear_immutable(it->path());
                ::umount(m.c_str());
            }
        }
        if (!skipped.empty()) std::printf("skipped:\n%s", skipped.c_str());
        return problems;
    });
    ASSERT_TRUE(r.has_value()) << vtest::kNeedsPrivateMounts;
    EXPECT_EQ(*r, "");
}

// volumes looks at the first items of each volume's root folder and warns
// where some carry Mac metadata in another layout than the volume's; once
// converted, it says nothing.
TEST(FmutilVolumes, WarnsWhereFilesAtAVolumesRootCarryAnotherLayout) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    vtest::TempDir t("fmvolumes");
    const fs::path vol = t.mkdir("vol");
    const auto f = t.write("vol/from the old server", "data");
    ASSERT_EQ(run({"type", f, "--type", "TEXT", "--creator", "ttxt"}).status, 0);
    t.write("vol/plain", "no metadata");
    const auto r = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount(vol.c_str(), vol.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return "cannot bind-mount the scratch folder";
        std::string problems;
        const std::string warning = vol.string() + ": 1 of the first 2 items of its root folder";
        auto volumes = [&](const char* layout) {
            return fmtest::run_program(FMUTIL_PATH, {"volumes"}, false,
                                       {std::string("VANTREL_MAC_LAYOUT=") + layout});
        };
        fmtest::Result v = volumes("stream");
        if (v.status != 0 || v.err.find(warning) == std::string::npos ||
            v.err.find("fmutil convert --to stream") == std::string::npos)
            problems += "no warning on the stream volume:\n" + v.err;
        if (volumes("netatalk").err.find(vol.string() + ":") != std::string::npos)
            problems += "a warning where the file is in the volume's layout\n";
        if (run({"convert", "--to", "stream", vol}).status != 0) problems += "convert failed\n";
        v = volumes("stream");
        if (v.err.find(vol.string() + ":") != std::string::npos)
            problems += "a warning after the conversion:\n" + v.err;
        ::umount(vol.c_str());
        return problems;
    });
    ASSERT_TRUE(r.has_value()) << vtest::kNeedsPrivateMounts;
    EXPECT_EQ(*r, "");
}
