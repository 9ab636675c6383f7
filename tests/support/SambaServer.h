// A private Samba server for interoperability tests: `smbd` in the
// foreground on a free loopback port, with everything it keeps (its
// configuration, private, lock, state, cache and pid directories, log and
// password database) under the test's scratch directory, serving one share
// with the modules and settings that administrators use for Mac clients.
// `smbclient` then plays the Mac client. The server is stopped with its
// whole process group when the object goes, also when the test has failed,
// and dies with the test process if that is killed.
//
//   vtest::TempDir dir;
//   vtest::SambaServer smb(dir.path());
//   if (!smb.running()) GTEST_SKIP() << smb.why_not();
//   auto r = smb.client("allinfo file");      // smbclient on the share
//   EXPECT_EQ(r.status, 0) << r.output;
//   EXPECT_EQ(smb.stop(), "");                // no process left behind
//
// Where smbd cannot run (not root, Samba or its modules not installed, no
// port it could bind, it did not come up in time) the server is not
// running and `why_not` says why, with the tail of smbd's log.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"

namespace vtest {

namespace fs = std::filesystem;

namespace samba_detail {

using Clock = std::chrono::steady_clock;

// Processes come and go while /proc is read: what a file of one that has
// just exited gives is what could be read (see read_file).
inline std::string slurp(const fs::path& p) {
    return read_file(p);
}

// The last `lines` lines of `text`.
inline std::string tail(const std::string& text, int lines) {
    std::size_t pos = text.size();
    if (pos > 0 && text[pos - 1] == '\n') --pos;
    while (pos > 0 && lines > 0) {
        pos = text.rfind('\n', pos - 1);
        if (pos == std::string::npos) return text;
        --lines;
    }
    return text.substr(pos == 0 ? 0 : pos + 1);
}

// The program `name` from PATH or the system directories smbd lives in
// ("" when absent): tests run with whatever PATH CTest was given.
inline std::string find_program(const std::string& name) {
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("PATH")) {
        std::stringstream ss(path);
        for (std::string d; std::getline(ss, d, ':');)
            if (!d.empty()) dirs.push_back(d);
    }
    for (const char* d : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) dirs.emplace_back(d);
    for (const std::string& d : dirs) {
        const std::string p = d + "/" + name;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// A process started in a process group of its own, killed with SIGKILL when
// the test process dies. Everything the child needs is prepared before the
// fork; between fork and exec it only makes system calls.
inline pid_t spawn(const std::vector<std::string>& argv, const fs::path& cwd, const fs::path& in,
                   const fs::path& out) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string dir = cwd.string(), inPath = in.string(), outPath = out.string();
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) {
        if (pid > 0) ::setpgid(pid, pid);  // also here, so the group exists before we signal it
        return pid;
    }
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // the test died before prctl took effect
    const int i = ::open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (i < 0 || o < 0 || ::dup2(i, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(o, 2) < 0 ||
        ::chdir(dir.c_str()) != 0)
        ::_exit(127);
    // Nothing of the test's may stay open in smbd: a pipe someone reads to
    // its end (CTest's, a forked test's) would wait for smbd to go.
    ::close_range(3, ~0U, 0);
    ::execv(args[0], args.data());
    ::_exit(127);
}

// Waits for `pid` until `deadline`; true (with its wait status) when it ended.
inline bool wait_until(pid_t pid, Clock::time_point deadline, int* status) {
    for (;;) {
        const pid_t r = ::waitpid(pid, status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// "exited with status 1", "was killed by signal 6".
inline std::string describe(int waitStatus) {
    if (WIFSIGNALED(waitStatus))
        return "was killed by signal " + std::to_string(WTERMSIG(waitStatus));
    return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
}

// Ids of the processes whose command line contains `needle` (as `pgrep -f`
// finds them), the caller excluded.
inline std::vector<pid_t> processes_mentioning(const std::string& needle) {
    std::vector<pid_t> found;
    std::error_code ec;
    // Processes come and go while we read: every step takes an error code.
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string cmd = slurp(it->path() / "cmdline");
        for (char& c : cmd)
            if (c == '\0') c = ' ';
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (pid != ::getpid() && cmd.find(needle) != std::string::npos) found.push_back(pid);
    }
    return found;
}

// The inodes of the sockets listening on 127.0.0.1:`port`. smbd binds with
// SO_REUSEPORT, so a second server started on the same port shares it
// instead of failing, and the kernel hands each connection to either one.
inline std::vector<std::string> listeners(int port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);  // the header
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::vector<std::string> inodes;
    while (std::getline(tcp, line)) {
        std::istringstream f(line);
        std::string sl, loc, rem, st, q, tr, retr, uid, timeout, ino;
        f >> sl >> loc >> rem >> st >> q >> tr >> retr >> uid >> timeout >> ino;
        if (loc == local && st == "0A") inodes.push_back(ino);
    }
    return inodes;
}

// True when socket `inode` is one of `pid`'s descriptors.
inline bool holds_socket(pid_t pid, const std::string& inode) {
    const std::string want = "socket:[" + inode + "]";
    std::error_code ec;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
         !ec && it != end; it.increment(ec)) {
        if (fs::read_symlink(it->path(), ec).string() == want) return true;
        ec.clear();  // a descriptor closed while we read
    }
    return false;
}

// True when `pid` runs the program `path` (it has called exec).
inline bool runs(pid_t pid, const std::string& path) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return !ec && exe == fs::canonical(path, ec);
}

// A port on 127.0.0.1 that nothing listens on now (0 when none is given).
inline int free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

inline bool accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

}  // namespace samba_detail

// Where a share keeps Mac metadata: vfs_fruit's two settings.
struct SambaFruit {
    std::string metadata = "netatalk";  // or "stream"
    std::string resource = "file";      // or "stream"
};

class SambaServer {
  public:
    struct Result {
        int status = -1;        // exit status; -1 when killed or not run
        bool timedOut = false;  // killed at its deadline
        std::string output;     // stdout and stderr together
        // smbclient exits 0 after a failed command of a -c list; it names
        // the failure with its NT status.
        bool ok() const { return status == 0 && output.find("NT_STATUS_") == std::string::npos; }
    };

    static constexpr const char* kShare = "share";
    static constexpr std::chrono::seconds kStartTimeout{15};
    static constexpr std::chrono::seconds kStopTimeout{5};
    static constexpr std::chrono::seconds kClientTimeout{20};

    using Fruit = SambaFruit;

    // Starts smbd with its files under `scratch`, serving `scratch`/share.
    // `firstPort`, when not 0, is tried before ports chosen free.
    explicit SambaServer(const std::filesystem::path& scratch, int firstPort = 0,
                         Fruit fruit = Fruit{})
        : root_(scratch / "smb"), share_(scratch / kShare), fruit_(std::move(fruit)) {
        namespace d = samba_detail;
        if (::geteuid() != 0) {
            why_ = "smbd serves files as a logged-on user and needs root for that (uid " +
                   std::to_string(::geteuid()) + ")";
            return;
        }
        smbd_ = d::find_program("smbd");
        smbclient_ = d::find_program("smbclient");
        const std::string smbpasswd = d::find_program("smbpasswd");
        if (smbd_.empty() || smbclient_.empty() || smbpasswd.empty()) {
            why_ = "smbd, smbclient or smbpasswd is not installed (Debian: samba, smbclient)";
            return;
        }
        std::error_code ec;
        for (const char* sub :
             {"private", "lock", "state", "cache", "pid", "ncalrpc", "usershares", "client"})
            fs::create_directories(root_ / sub, ec);
        fs::create_directories(share_, ec);
        if (ec) {
            why_ = "cannot make the server's directories under " + root_.string();
            return;
        }
        std::ofstream(root_ / "empty").close();
        if (const std::string missing = missing_modules(); !missing.empty()) {
            why_ =
                "Samba's VFS module " + missing + " is not installed (Debian: samba-vfs-modules)";
            return;
        }
        // smbd's children outlive it by a moment when it stops; as their
        // subreaper this process reaps them, so none is left to init.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        int port = firstPort != 0 ? firstPort : d::free_port();
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (port == 0) {
                why_ = "no free port on 127.0.0.1";
                return;
            }
            write_config(port);
            if (attempt == 0 && !add_user(smbpasswd)) return;
            if (start(port) != Start::PortTaken) return;
            port = d::free_port();
        }
    }
    ~SambaServer() {
        stop();
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    SambaServer(const SambaServer&) = delete;
    SambaServer& operator=(const SambaServer&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& why_not() const { return why_; }
    int port() const { return port_; }
    const std::filesystem::path& share() const { return share_; }
    const std::filesystem::path& config() const { return conf_; }
    std::string log_tail(int lines = 20) const {
        return samba_detail::tail(samba_detail::slurp(root_ / "smbd.log"), lines);
    }

    // Runs smbclient's `commands` on the share (`-c`, ";"-separated), with
    // local files relative to a scratch directory of the client's.
    Result client(const std::string& commands,
                  std::chrono::seconds timeout = kClientTimeout) const {
        return run(
            {smbclient_, "//127.0.0.1/" + std::string(kShare), "-p", std::to_string(port_), "-U",
             std::string(kUser) + "%" + kPassword, "-s", conf_.string(), "-c", commands},
            timeout);
    }
    // Puts `bytes` as the remote file or stream `remote` ("f:AFP_Resource").
    // A name smbclient's command line cannot quote (holding '"' or ';') is
    // refused, never sent as another command.
    Result put(const std::string& bytes, const std::string& remote) const {
        if (!quotable(remote)) return unquotable(remote);
        const std::filesystem::path local = next_local();
        std::ofstream(local, std::ios::binary) << bytes;
        return client("put \"" + local.string() + "\" \"" + remote + "\"");
    }
    // Gets the remote file or stream `remote` into `bytes` (emptied first).
    Result get(const std::string& remote, std::string* bytes) const {
        bytes->clear();
        if (!quotable(remote)) return unquotable(remote);
        const std::filesystem::path local = next_local();
        Result r = client("get \"" + remote + "\" \"" + local.string() + "\"");
        *bytes = samba_detail::slurp(local);
        return r;
    }

    // Stops the server and every process of its group: SIGTERM, then SIGKILL
    // for whatever is left after kStopTimeout. Returns "" when no process
    // that mentions this server's configuration remains, else their ids.
    std::string stop() {
        namespace d = samba_detail;
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            int status = 0;
            if (!d::wait_until(pid_, d::Clock::now() + kStopTimeout, &status)) {
                ::kill(-pid_, SIGKILL);
                d::wait_until(pid_, d::Clock::now() + kStopTimeout, &status);
            }
            ::kill(-pid_, SIGKILL);  // its children, reparented to us
            reap_group(pid_);
            pid_ = 0;
        }
        if (conf_.empty()) return {};
        std::string left;
        for (pid_t p : d::processes_mentioning(conf_.string())) left += " " + std::to_string(p);
        return left.empty() ? left : "processes left running:" + left;
    }

    // Runs argv (argv[0] a path) with a deadline, in the client's scratch
    // directory; the whole process group is killed when it passes.
    Result run(const std::vector<std::string>& argv, std::chrono::seconds timeout,
               const std::string& input = {}) const {
        namespace d = samba_detail;
        Result r;
        const fs::path out = next_local(), in = next_local();
        std::ofstream(in, std::ios::binary) << input;
        const pid_t pid = d::spawn(argv, root_ / "client", in, out);
        if (pid < 0) {
            r.output = std::string("fork: ") + std::strerror(errno);
            return r;
        }
        int status = 0;
        if (!d::wait_until(pid, d::Clock::now() + timeout, &status)) {
            ::kill(-pid, SIGKILL);
            d::wait_until(pid, d::Clock::now() + kStopTimeout, &status);
            r.timedOut = true;
        }
        reap_group(pid);
        if (!r.timedOut && WIFEXITED(status)) r.status = WEXITSTATUS(status);
        r.output = d::slurp(out);
        return r;
    }

  private:
    static constexpr const char* kUser = "root";
    static constexpr const char* kPassword = "vantrel-interop";

    // Reaps what is left of the process group `pgid` (children of the
    // processes we started come to us as the subreaper).
    static void reap_group(pid_t pgid) {
        const auto deadline = samba_detail::Clock::now() + kStopTimeout;
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(-pgid, &status, WNOHANG);
            if (r < 0) return;  // ECHILD: nothing of the group is left
            if (r == 0) {
                if (samba_detail::Clock::now() >= deadline) return;
                ::kill(-pgid, SIGKILL);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }

    static bool quotable(const std::string& name) {
        return name.find_first_of("\";\n") == std::string::npos;
    }
    static Result unquotable(const std::string& name) {
        Result r;
        r.output = "SambaServer: cannot quote the name " + name + " for smbclient";
        return r;
    }

    std::filesystem::path next_local() const {
        return root_ / "client" / ("f" + std::to_string(++files_));
    }

    // The first of the modules the share needs that smbd cannot load, or "".
    std::string missing_modules() const {
        Result r = run({smbd_, "-b"}, std::chrono::seconds(10));
        const std::string key = "MODULESDIR: ";
        const std::size_t at = r.output.find(key);
        if (at == std::string::npos) return {};  // cannot tell; let the share show it
        std::string dir = r.output.substr(at + key.size());
        dir = dir.substr(0, dir.find('\n'));
        for (const char* m : {"catia", "fruit", "streams_xattr"}) {
            if (::access((dir + "/vfs/" + m + ".so").c_str(), R_OK) != 0) return m;
        }
        return {};
    }

    void write_config(int port) {
        const auto p = [this](const char* sub) { return (root_ / sub).string(); };
        conf_ = root_ / "smb.conf";
        std::ofstream c(conf_);
        c << "[global]\n"
          << "  server role = standalone server\n"
          << "  workgroup = VTEST\n"
          << "  netbios name = VTEST\n"
          << "  interfaces = 127.0.0.1\n"
          << "  bind interfaces only = yes\n"
          << "  smb ports = " << port << "\n"
          << "  disable netbios = yes\n"
          << "  server min protocol = SMB2\n"
          << "  private dir = " << p("private") << "\n"
          << "  lock directory = " << p("lock") << "\n"
          << "  state directory = " << p("state") << "\n"
          << "  cache directory = " << p("cache") << "\n"
          << "  pid directory = " << p("pid") << "\n"
          << "  ncalrpc dir = " << p("ncalrpc") << "\n"
          << "  usershare path = " << p("usershares") << "\n"
          << "  log file = " << p("smbd.log") << "\n"
          << "  log level = 3\n"  // what makes smbd exit is often said at level 3 only
          << "  passdb backend = tdbsam:" << p("private") << "/passdb.tdb\n"
          << "  load printers = no\n"
          << "  printing = bsd\n"
          << "  printcap name = " << p("empty") << "\n"
          << "  disable spoolss = yes\n"
          << "[" << kShare << "]\n"
          << "  path = " << share_.string() << "\n"
          << "  read only = no\n"
          << "  vfs objects = catia fruit streams_xattr\n"
          << "  fruit:metadata = " << fruit_.metadata << "\n"
          << "  fruit:resource = " << fruit_.resource << "\n";
    }

    bool add_user(const std::string& smbpasswd) {
        const std::string pw = std::string(kPassword) + "\n" + kPassword + "\n";
        Result r =
            run({smbpasswd, "-c", conf_.string(), "-a", "-s", kUser}, std::chrono::seconds(20), pw);
        if (r.status == 0) return true;
        why_ = "smbpasswd could not add the share's user: " + samba_detail::tail(r.output, 10);
        return false;
    }

    enum class Start { Listening, PortTaken, Failed };
    // Starts smbd on `port` and waits until it listens there, alone; why_
    // says why when it does not.
    Start start(int port) {
        namespace d = samba_detail;
        const fs::path log = root_ / "smbd.log";
        std::error_code ec;
        fs::remove(log, ec);
        const pid_t pid = d::spawn(
            {smbd_, "--foreground", "--no-process-group", "--debug-stdout", "-s", conf_.string()},
            root_, root_ / "empty", log);
        if (pid < 0) {
            why_ = std::string("fork: ") + std::strerror(errno);
            return Start::Failed;
        }
        const auto deadline = d::Clock::now() + kStartTimeout;
        for (;;) {
            int status = 0;
            if (d::wait_until(pid, d::Clock::now(), &status)) {
                reap_group(pid);
                why_ = "smbd " + d::describe(status) + " on port " + std::to_string(port) +
                       "; its log ends:\n" + log_tail();
                const bool taken =
                    d::slurp(log).find("Address already in use") != std::string::npos;
                return taken ? Start::PortTaken : Start::Failed;
            }
            // Until it has become smbd, the child still holds the test's
            // descriptors (a listening socket of another test among them).
            const std::vector<std::string> socks = d::listeners(port);
            std::size_t ours = 0;
            if (d::runs(pid, smbd_))
                for (const std::string& s : socks) ours += d::holds_socket(pid, s) ? 1 : 0;
            if (ours > 0 && ours < socks.size()) {
                // Another program took the port between our choice and
                // smbd's bind: connections would reach either server.
                pid_ = pid;
                stop();
                why_ = "port " + std::to_string(port) + " is shared with another server";
                return Start::PortTaken;
            }
            if (ours > 0 && d::accepts(port)) {
                pid_ = pid;
                port_ = port;
                why_.clear();
                return Start::Listening;
            }
            if (d::Clock::now() >= deadline) {
                pid_ = pid;
                stop();
                why_ = "smbd did not listen on port " + std::to_string(port) + " within " +
                       std::to_string(kStartTimeout.count()) + " s; its log ends:\n" + log_tail();
                return Start::Failed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::filesystem::path root_, share_, conf_;
    Fruit fruit_;
    std::string smbd_, smbclient_, why_;
    pid_t pid_ = 0;
    int port_ = 0;
    mutable int files_ = 0;
};

}  // namespace vtest
