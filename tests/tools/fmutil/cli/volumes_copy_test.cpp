// cp -r, cp and mv from one volume to another (tmpfs and ramfs mounted in a
// private mount namespace), where what the destination can hold differs
// from what the source has: what cp -a and mv keep is kept, what cannot be
// kept is named and the source stays whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Child.h"
#include "FileFlags.h"
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
    const char* dest;  // "tmpfs" or "ramfs"
    std::function<std::string(const fs::path& src, const fs::path& dst)> body;
};

// Appends `what` to `problems` unless `ok`.
void expect(std::string& problems, bool ok, const std::string& what) {
    if (!ok) problems += what + "\n";
}

const std::vector<VolumeCase>& volume_cases() {
    static const std::vector<VolumeCase> cases = {
        {"mv of a locked file keeps the lock on the copy", "tmpfs",
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
        {"mv of a locked file where no lock can be kept is refused", "ramfs",
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
        {"mv of a tree keeps the locks of its files and folders", "tmpfs",
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
    };
    return cases;
}

}  // namespace

TEST(FmutilVolumes, CopiesAndMovesToAnotherVolumeKeepOrNameWhatTheyCannotKeep) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    vtest::TempDir t("fmvolumes");
    const auto r = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        std::string problems;
        int n = 0;
        for (const VolumeCase& c : volume_cases()) {
            const fs::path src = t.mkdir("src" + std::to_string(n));
            const fs::path dst = t.mkdir("dst" + std::to_string(n));
            ++n;
            if (::mount("tmpfs", src.c_str(), "tmpfs", 0, "size=16m") != 0 ||
                ::mount(c.dest, dst.c_str(), c.dest, 0,
                        std::string(c.dest) == "tmpfs" ? "size=16m" : nullptr) != 0)
                return std::string("cannot mount ") + c.dest + " for: " + c.what;
            const std::string p = c.body(src, dst);
            if (!p.empty()) problems += std::string(c.what) + ":\n" + p;
            for (const fs::path& m : {src, dst}) {
                for (auto it = fs::recursive_directory_iterator(m);
                     it != fs::recursive_directory_iterator(); ++it)
                    vtest::clear_immutable(it->path());
                ::umount(m.c_str());
            }
        }
        return problems;
    });
    ASSERT_TRUE(r.has_value()) << vtest::kNeedsPrivateMounts;
    EXPECT_EQ(*r, "");
}
