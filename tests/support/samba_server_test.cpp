// The private Samba server of the interoperability tests: it never shares a
// port with another server, and nothing it started outlives it, whether the
// test ends, a command hangs or the test process dies.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "Child.h"
#include "SambaServer.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace sd = vtest::samba_detail;

// Waits up to `limit` for the processes mentioning `needle` to be gone.
bool gone(const std::string& needle, std::chrono::seconds limit) {
    const auto deadline = sd::Clock::now() + limit;
    while (!sd::processes_mentioning(needle).empty()) {
        if (sd::Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace

// A port another program holds, plainly or shared through SO_REUSEPORT as
// smbd binds, is left for a free one: connections must reach our server
// and no other.
TEST(SambaServer, NeverSharesAPort) {
    vtest::TempDir first("vt-smb"), second("vt-smb");
    vtest::SambaServer a(first.path());
    if (!a.running()) GTEST_SKIP() << a.why_not();

    // Held by a socket without SO_REUSEPORT: smbd's bind fails.
    const int held = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(held, 1), 0);
    ASSERT_EQ(::getsockname(held, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const int heldPort = ntohs(addr.sin_port);

    vtest::SambaServer b(second.path(), heldPort);
    ASSERT_TRUE(b.running()) << b.why_not();
    EXPECT_NE(b.port(), heldPort);
    ::close(held);
    EXPECT_EQ(b.stop(), "");

    // Held by the other server: smbd's bind succeeds and shares the port.
    vtest::SambaServer c(second.path(), a.port());
    ASSERT_TRUE(c.running()) << c.why_not();
    EXPECT_NE(c.port(), a.port());
    EXPECT_EQ(sd::listeners(a.port()).size(), 1u);
    vtest::write_file(first.path() / "share" / "only-in-first", "1");
    for (int i = 0; i < 8; ++i) {  // the kernel would spread these over both
        const auto r = a.client("ls only-in-first");
        EXPECT_TRUE(r.ok()) << r.output;
    }
}

// A command that outlives its deadline is killed with everything it
// started, and stopping the server leaves none of its processes.
TEST(SambaServer, LeavesNoProcessBehind) {
    vtest::TempDir dir("vt-smb");
    vtest::SambaServer smb(dir.path());
    if (!smb.running()) GTEST_SKIP() << smb.why_not();

    const std::string marker = "sleep 30." + std::to_string(::getpid());
    const auto r = smb.run({"/bin/sh", "-c", marker + " & " + marker}, 1s);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.status, -1);
    EXPECT_TRUE(gone(marker, 5s)) << "the command's child survived it";

    const std::string conf = smb.config();
    EXPECT_FALSE(sd::processes_mentioning(conf).empty());
    EXPECT_EQ(smb.stop(), "");
    EXPECT_TRUE(sd::processes_mentioning(conf).empty());
    EXPECT_FALSE(smb.running());
}

// A test process that dies without stopping its server (a crash, a
// SIGKILL at the suite's timeout) takes the server with it.
TEST(SambaServer, DiesWithTheTestProcess) {
    if (::geteuid() != 0) GTEST_SKIP() << "smbd needs root";
    vtest::TempDir dir("vt-smb");
    const auto conf = vtest::run_child(vtest::Child::Plain, [&]() -> std::string {
        auto* smb = new vtest::SambaServer(dir.path());  // never stopped
        return smb->running() ? smb->config().string() : "";
    });
    ASSERT_TRUE(conf.has_value());
    if (conf->empty()) GTEST_SKIP() << "smbd did not start in the child";
    EXPECT_TRUE(gone(*conf, 10s)) << "smbd outlived the process that started it";
}

// smbclient splits its command line at ';' even between quotes: a name that
// holds one (or a quote) is refused instead of running as a command of its
// own on the share.
TEST(SambaServer, RefusesANameItCannotQuote) {
    vtest::TempDir dir("vt-smb");
    vtest::SambaServer smb(dir.path());
    if (!smb.running()) GTEST_SKIP() << smb.why_not();
    const fs::path victim = vtest::write_file(smb.share() / "victim", "keep");
    for (const std::string name : {"a; del victim", "a\" \"victim", "a\ndel victim"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(smb.put("new", name).ok());
        std::string got = "stale";
        EXPECT_FALSE(smb.get(name, &got).ok());
        EXPECT_EQ(got, "");
        EXPECT_EQ(vtest::read_file(victim), "keep");
    }
    EXPECT_EQ(smb.client("ls a*").output.find(" a "), std::string::npos);
}

// Where smbd starts and gives up, the reason for the skip is smbd's own:
// here its sockets' paths under a deep scratch directory are too long.
TEST(SambaServer, SaysWhySmbdDidNotStart) {
    if (::geteuid() != 0) GTEST_SKIP() << "smbd needs root";
    vtest::TempDir dir("vt-smb");
    const fs::path deep = dir.mkdir(std::string(100, 'd'));
    vtest::SambaServer smb(deep);
    EXPECT_FALSE(smb.running());
    EXPECT_NE(smb.why_not().find("smbd exited with status 1"), std::string::npos) << smb.why_not();
    EXPECT_NE(smb.why_not().find("File name too long"), std::string::npos) << smb.why_not();
}
