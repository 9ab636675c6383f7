// `fmutil rm /` is refused, however the root is spelled. Checked inside a
// private mount namespace whose root is a fresh tmpfs (chroot), so that even
// a broken refusal could only empty that tmpfs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Child.h"
#include "fmutil.h"

namespace {

// Child: 0 when every spelling of "/" was refused with the usage status and
// the sentinel survived; 100+ for a refusal that failed; 77 when the sandbox
// could not be built (no privilege).
int child() {
    if (::unshare(CLONE_NEWNS) != 0) return 77;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    // Over /tmp itself: the mount is private to this namespace, and nothing
    // is left behind in the real /tmp when the child ends.
    const char* dir = "/tmp";
    if (::mount("tmpfs", dir, "tmpfs", 0, "size=1m") != 0) return 77;
    const std::string root = dir;
    ::mkdir((root + "/proc").c_str(), 0755);
    if (::mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr) != 0) return 77;
    ::mkdir((root + "/data").c_str(), 0755);
    int fd = ::open((root + "/data/sentinel").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return 77;
    ::close(fd);
    if (::chroot(dir) != 0 || ::chdir("/") != 0) return 77;

    int null_fd =
        ::open("/data/output", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);  // /dev is not there
    if (null_fd < 0) return 77;
    int rc = 0;
    int k = 0;
    for (const char* spelling : {"/", "//", "/data/..", "/proc/.."}) {
        for (bool contents : {false, true}) {
            std::vector<std::string> args{"fmutil", "rm", spelling};
            if (contents) args.push_back("--contents-only");
            const int status = fmutil::run(args, null_fd, null_fd);
            if (status != fmutil::kExitUsage && rc == 0) rc = 100 + k;
            ++k;
        }
    }
    struct stat st {};
    if (::stat("/data/sentinel", &st) != 0 && rc == 0) rc = 99;
    return rc;
}

}  // namespace

TEST(FmutilRoot, RmRefusesTheRootDirectory) {
    if (!vtest::can_make_private_mounts())
        GTEST_SKIP() << "needs root to build a private mount namespace";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(child());
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    if (WEXITSTATUS(st) == 77) GTEST_SKIP() << "needs root to build a private mount namespace";
    EXPECT_EQ(WEXITSTATUS(st), 0)
        << "99: the sentinel was deleted; 100+k: spelling k was not refused";
}
