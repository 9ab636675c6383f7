// fmutil rm and tree while the tree changes under them: a directory is
// swapped for a symbolic link to a directory outside the tree.
//
// The swap is made deterministic through the platform's fault seam: its hook
// runs at the start of every File Manager operation, so the test swaps the
// directory exactly before the n-th operation, for every n the command
// makes. The commands run in-process through fmutil::run, the same code the
// program runs; nothing in the program knows about the seam.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TempDir.h"
#include "fmutil.h"
#include "vantrel/fault.h"

namespace fs = std::filesystem;
namespace vf = vantrel::fault;

namespace {

// root/a/b/{f1,f2,c/{f3}}, root/a/g, root/x/{f4,y/f5}; outside/{keep1,keep2,sub/keep3}
void build(const vtest::TempDir& t) {
    for (const char* f :
         {"root/a/b/f1", "root/a/b/f2", "root/a/b/c/f3", "root/a/g", "root/x/f4", "root/x/y/f5"}) {
        t.write(f, "tree");
    }
    for (const char* f : {"outside/keep1", "outside/keep2", "outside/sub/keep3"})
        t.write(f, "precious");
}

void expect_outside_intact(const vtest::TempDir& t, const std::string& when) {
    for (const char* f : {"outside/keep1", "outside/keep2", "outside/sub/keep3"}) {
        EXPECT_EQ(vtest::read_file(t.path() / f), "precious") << f << " touched " << when;
    }
}

// Swaps `dir` for a link to `target` (the directory itself moves aside,
// staying inside the tree).
void swap_for_link(const fs::path& dir, const fs::path& target) {
    std::error_code ec;
    fs::rename(dir, fs::path(dir.string() + ".moved"), ec);
    if (!ec) fs::create_directory_symlink(target, dir, ec);
}

int run_quiet(const std::vector<std::string>& args) {
    int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    int status = fmutil::run(args, null_fd, null_fd);
    ::close(null_fd);
    return status;
}

long count_calls(const std::vector<std::string>& args) {
    vtest::TempDir t("fmrace");
    build(t);
    vf::Scope scope;
    vf::set_counting(true);
    std::vector<std::string> a = args;
    for (auto& s : a) {
        if (s == "ROOT") s = (t.path() / "root").string();
    }
    EXPECT_EQ(run_quiet(a), 0);
    return vf::calls("*");
}

}  // namespace

TEST(FmutilRace, RmNeverDeletesThroughADirectorySwappedForALink) {
    for (const char* victim : {"root/a", "root/a/b", "root/a/b/c", "root/x/y"}) {
        for (bool contents_only : {false, true}) {
            std::vector<std::string> args{"fmutil", "rm", "ROOT"};
            if (contents_only) args.push_back("--contents-only");
            const long total = count_calls(args);
            ASSERT_GT(total, 10) << "the seam saw no File Manager calls";
            for (long n = 1; n <= total; ++n) {
                vtest::TempDir t("fmrace");
                build(t);
                const fs::path root = t.path() / "root";
                const fs::path dir = t.path() / victim;
                const fs::path outside = t.path() / "outside";
                std::vector<std::string> a = args;
                a[2] = root.string();
                bool swapped = false;
                int status;
                {
                    vf::Scope scope;
                    vf::set_hook([&](const vf::Call& c) {
                        if (!swapped && c.globalIndex == n) {
                            swapped = true;
                            swap_for_link(dir, outside);
                        }
                    });
                    status = run_quiet(a);
                }
                const std::string when = std::string("(") + victim +
                                         (contents_only ? ", contents" : "") +
                                         ", swap before call " + std::to_string(n) + ")";
                EXPECT_TRUE(swapped) << when;
                EXPECT_TRUE(status == 0 || status == 1) << when;
                expect_outside_intact(t, when);
                EXPECT_TRUE(fs::is_directory(outside)) << when;
            }
        }
    }
}

TEST(FmutilRace, TreeNeverListsThroughADirectorySwappedForALink) {
    const std::vector<std::string> args{"fmutil", "tree", "ROOT"};
    const long total = count_calls(args);
    ASSERT_GT(total, 5);
    for (long n = 1; n <= total; ++n) {
        vtest::TempDir t("fmrace");
        build(t);
        const fs::path out_file = t.path() / "listing";
        int fd = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        bool swapped = false;
        int status;
        {
            vf::Scope scope;
            vf::set_hook([&](const vf::Call& c) {
                if (!swapped && c.globalIndex == n) {
                    swapped = true;
                    swap_for_link(t.path() / "root/a/b", t.path() / "outside");
                }
            });
            status = fmutil::run({"fmutil", "tree", (t.path() / "root").string()}, fd, null_fd);
        }
        ::close(fd);
        ::close(null_fd);
        EXPECT_TRUE(swapped) << "swap before call " << n;
        EXPECT_TRUE(status == 0 || status == 1) << "swap before call " << n;
        const std::string listing = vtest::read_file(out_file);
        EXPECT_EQ(listing.find("keep"), std::string::npos)
            << "listed outside the tree, swap before call " << n << ":\n"
            << listing;
    }
}

// Another process gets to part of the tree first, before any call of the
// walk once the operand was found: the part deleted (a second rm), or a folder moved out of the
// tree. What was to be deleted is not there, which is what was asked: rm says nothing and exits 0
// (rm -rf does), and what moved out is left whole. A row with `asked` is
// deleted at the one moment two rm of one tree meet most: this walk listed
// the folder (the other was emptying it) and asks what it is just as it
// goes, so the question finds nothing (the seam answers what the reference
// then resolves to: fnfErr). Each folder of the top level has a row, so that
// one of them is the first folder the walk meets, whatever order the
// directory is read in.
TEST(FmutilRace, RmSucceedsWhereAnotherGotToTheItemsFirst) {
    struct Row {
        const char* label;
        const char* victim;
        bool movedOut;       // moved to outside/moved instead of deleted
        bool asked = false;  // deleted as the walk asks what the refused item is, not at call n
    };
    const Row rows[] = {
        {"a file deleted by another", "root/a/b/f1", false},
        {"a folder deleted by another", "root/a/b", false},
        {"a folder of one file deleted by another", "root/x/y", false},
        {"the whole tree deleted by another", "root", false},
        {"a folder moved out of the tree", "root/a/b", true},
        {"a folder of one file moved out of the tree", "root/x/y", true},
        {"a listed folder deleted by another before it is asked", "root/a", false, true},
        {"a listed folder deleted by another before it is asked", "root/x", false, true},
    };
    const std::vector<std::string> args{"fmutil", "rm", "ROOT"};
    const long total = count_calls(args);
    ASSERT_GT(total, 10) << "the seam saw no File Manager calls";
    for (const Row& row : rows) {
        // From the second call: before the first, the operand is not found,
        // which rm -r reports too.
        for (long n = row.asked ? total : 2; n <= total; ++n) {
            vtest::TempDir t("fmrace");
            build(t);
            const fs::path root = t.path() / "root";
            const fs::path victim = t.path() / row.victim;
            const fs::path moved = t.path() / "outside/moved";
            bool done = false;
            int status;
            const fs::path err = t.path() / "err";
            const int efd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ASSERT_GE(efd, 0);
            {
                vf::Scope scope;
                vf::set_hook([&](const vf::Call& c) {
                    if (row.asked) {
                        const bool mine = c.detail == victim.filename().string();
                        if (done || !mine || c.op != "FSGetCatalogInfo") return;
                    } else if (done || c.globalIndex != n) {
                        return;
                    }
                    done = true;
                    std::error_code ec;
                    if (row.movedOut) {
                        fs::rename(victim, moved, ec);
                    } else {
                        fs::remove_all(victim, ec);
                    }
                });
                // Hooks run before the fault decision: the call the hook
                // deleted the folder at finds it gone.
                bool answered = false;
                vf::fail_if([&](const vf::Call& c) -> OSErr {
                    if (!row.asked || !done || answered || c.op != "FSGetCatalogInfo") return noErr;
                    answered = true;
                    return fnfErr;
                });
                status = fmutil::run({"fmutil", "rm", root.string()}, efd, efd);
            }
            ::close(efd);
            const std::string when = std::string(row.label) + ", before call " + std::to_string(n);
            if (row.asked) {
                EXPECT_TRUE(done) << when << ": the walk never asked what it is";
            }
            EXPECT_EQ(status, 0) << when << ": " << vtest::read_file(err);
            EXPECT_EQ(vtest::read_file(err), "") << when;
            EXPECT_FALSE(fs::exists(root)) << when;
            expect_outside_intact(t, when);
        }
    }
}
