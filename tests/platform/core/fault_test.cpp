#include "vantrel/fault.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vf = vantrel::fault;

// Names this test checks itself, as a library source registers its own.
VANTREL_FAULT_OPERATIONS("Test.open", "Test.open.write", "Test.clock");

// While set, every operator new of this process throws: a check that
// allocates when armed would end the process (it is noexcept).
namespace {
thread_local bool t_refuse_new = false;
}
// Out of line, so that no call site pairs an inlined new with free().
[[gnu::noinline]] void* operator new(std::size_t n) {
    if (t_refuse_new) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

TEST(FaultSeam, NthCallTransientAndPersistent) {
    vf::Scope scope;
    EXPECT_EQ(vf::check("FSMoveObject"), noErr) << "nothing armed lets every call through";
    vf::fail_nth("FSMoveObject", 2, fLckdErr);
    EXPECT_EQ(vf::check("FSMoveObject"), noErr);
    EXPECT_EQ(vf::check("FSRenameUnicode"), noErr)
        << "other operations are not counted by the rule";
    EXPECT_EQ(vf::check("FSMoveObject"), fLckdErr);
    EXPECT_EQ(vf::check("FSMoveObject"), noErr) << "a transient fault fires once";
    EXPECT_EQ(vf::injected(), 1);

    vf::reset();
    vf::fail_nth("*", 2, ioErr, /*persistent=*/true);
    EXPECT_EQ(vf::check("FSOpenFork"), noErr);
    EXPECT_EQ(vf::check("FSReadFork"), ioErr);
    EXPECT_EQ(vf::check("FSCloseFork"), ioErr);
    EXPECT_EQ(vf::injected(), 2);
    EXPECT_EQ(vf::calls("*"), 3);
    EXPECT_EQ(vf::calls("FSReadFork"), 1);
}

TEST(FaultSeam, PredicateHookAndOverrides) {
    vf::Scope scope;
    std::vector<std::string> seen;
    vf::set_hook([&](const vf::Call& c) {
        seen.push_back(std::string(c.op) + ":" + std::string(c.detail));
    });
    vf::fail_if(
        [](const vf::Call& c) -> OSErr { return c.detail.ends_with("victim") ? permErr : noErr; });
    EXPECT_EQ(vf::check("FSDeleteObject", "/t/keep"), noErr);
    EXPECT_EQ(vf::check("FSDeleteObject", "/t/victim"), permErr);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"FSDeleteObject:/t/keep", "FSDeleteObject:/t/victim"}));

    EXPECT_FALSE(vf::override_value("Test.clock").has_value());
    vf::set_override("Test.clock", 42);
    EXPECT_EQ(vf::override_value("Test.clock"), 42);
    vf::reset();
    EXPECT_FALSE(vf::override_value("Test.clock").has_value());
    EXPECT_EQ(vf::check("FSDeleteObject", "/t/victim"), noErr) << "reset disarms everything";
}

// A misspelt name is an error the test sees, never a rule that cannot fire.
TEST(FaultSeam, UnknownNamesAndCountedCallsAreRefused) {
    vf::Scope scope;
    EXPECT_TRUE(vf::registered("FSMoveObject"));
    EXPECT_TRUE(vf::registered("Test.open.write"));
    EXPECT_FALSE(vf::registered("FSMoveObjet"));
    EXPECT_THROW(vf::fail_nth("FSMoveObjet", 1, ioErr), std::invalid_argument);
    EXPECT_THROW(vf::fail_nth("PBMakeFSRefUnicodeSync", 1, ioErr), std::invalid_argument)
        << "a public name that the layer does not check under that name";
    EXPECT_THROW(vf::calls("FSMoveObjet"), std::invalid_argument);
    EXPECT_THROW(vf::set_override("GetUTCDateTime.second", 1), std::invalid_argument);
    EXPECT_THROW(vf::fail_nth("FSMoveObject", 0, ioErr), std::invalid_argument);
    vf::set_counting(true);
    EXPECT_EQ(vf::check("FSMoveObject"), noErr);
    EXPECT_THROW(vf::fail_nth("FSMoveObject", 1, ioErr), std::invalid_argument)
        << "that call has already been counted";
    EXPECT_THROW(vf::fail_nth("*", 1, ioErr), std::invalid_argument);
    EXPECT_EQ(vf::injected(), 0);
    vf::fail_next("FSMoveObject", ioErr);
    EXPECT_EQ(vf::check("FSMoveObject"), ioErr) << "the next call, wherever the count stands";
}

TEST(FaultSeamDeathTest, CheckingAnUnregisteredNameStopsTheProcessWhileArmed) {
    vf::Scope scope;
    EXPECT_EQ(vf::check("Test.never.registered"), noErr) << "unarmed: the fast path";
    EXPECT_DEATH(
        {
            vf::set_counting(true);
            vf::check("Test.never.registered");
        },
        "\"Test.never.registered\" is checked but not registered");
}

// fail_nth takes the numbers the hook and the log show: both count from the
// last reset, whenever the rule was armed.
TEST(FaultSeam, RulesHooksAndTheLogCountTheSameCalls) {
    vf::Scope scope;
    std::vector<long> hookIndex;
    vf::set_hook([&](const vf::Call& c) {
        if (c.op == "FSMoveObject") hookIndex.push_back(c.index);
    });
    EXPECT_EQ(vf::check("FSMoveObject"), noErr);
    EXPECT_EQ(vf::check("FSMoveObject"), noErr);
    vf::fail_nth("FSMoveObject", 3, fLckdErr);
    vf::fail_nth("*", 5, dskFulErr);
    EXPECT_EQ(vf::check("FSMoveObject", "third"), fLckdErr);
    EXPECT_EQ(vf::check("FSRenameUnicode", "fourth"), noErr);
    EXPECT_EQ(vf::check("FSRenameUnicode", "fifth"), dskFulErr);
    EXPECT_EQ(hookIndex, (std::vector<long>{1, 2, 3}));
    const auto log = vf::injections();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].op, "FSMoveObject");
    EXPECT_EQ(log[0].detail, "third");
    EXPECT_EQ(log[0].index, 3);
    EXPECT_EQ(log[0].globalIndex, 3);
    EXPECT_EQ(log[0].err, fLckdErr);
    EXPECT_EQ(log[1].op, "FSRenameUnicode");
    EXPECT_EQ(log[1].index, 2);
    EXPECT_EQ(log[1].globalIndex, 5);
    EXPECT_EQ(log[1].err, dskFulErr);
    // A long detail is kept in part: the log never grows with what it is given.
    vf::fail_next("FSMoveObject", ioErr);
    EXPECT_EQ(vf::check("FSMoveObject", std::string(300, 'x')), ioErr);
    EXPECT_EQ(vf::injections().back().detail, std::string(200, 'x'));
    vf::reset();
    EXPECT_TRUE(vf::injections().empty());
}

// A step fails as its system call would: -1 and the errno of the class.
TEST(FaultSeam, StepsFailWithTheErrnoOfTheClass) {
    struct Row {
        OSErr err;
        int expectedErrno;
    };
    for (Row row : {Row{ioErr, EIO}, Row{dskFulErr, ENOSPC}, Row{afpAccessDenied, EACCES},
                    Row{memFullErr, ENOMEM}, Row{fLckdErr, EPERM}, Row{vLckdErr, EROFS}}) {
        vf::Scope scope;
        vf::fail_nth("Test.open.write", 1, row.err);
        int ran = 0;
        errno = 0;
        EXPECT_EQ(vf::step("Test.open", "x", [&] { return ++ran; }), 1) << "another step";
        EXPECT_EQ(vf::step("Test.open.write", "x", [&] { return ++ran; }), -1);
        EXPECT_EQ(errno, row.expectedErrno) << row.err;
        EXPECT_EQ(ran, 1) << "the failed step's call is not made";
    }
}

// A crash-point sweep's kill: the process ends with SIGKILL right before the
// system call of its n-th step, counting steps only (an operation's own
// check is none) and from the moment it was armed.
TEST(FaultSeam, DieAtStepKillsRightBeforeThatStepsCall) {
    struct Row {
        const char* what;
        long countedBefore;  // steps checked before arming
        long n;
        int callsMade;  // system calls that ran before the kill
    };
    for (Row row : {Row{"the first step", 0, 1, 0}, Row{"the third step", 0, 3, 2},
                    Row{"counted from the arming", 2, 2, 1}}) {
        SCOPED_TRACE(row.what);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            vf::reset();
            vf::set_counting(true);
            for (long i = 0; i < row.countedBefore; ++i)
                (void)vf::step("Test.open", "", [] { return 0; });
            vf::die_at_step(row.n);
            for (int i = 0; i < 5; ++i) {
                (void)vf::check("FSMoveObject");  // not a step: never the one that dies
                (void)vf::step("Test.open.write", "", [&] { return int(::write(fds[1], "x", 1)); });
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        std::string made;
        char c;
        while (::read(fds[0], &c, 1) == 1) made += c;
        ::close(fds[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
        EXPECT_EQ(static_cast<int>(made.size()), row.callsMade);
    }
    vf::Scope scope;
    EXPECT_THROW(vf::die_at_step(0), std::invalid_argument);
    vf::set_counting(true);
    (void)vf::step("Test.open", "", [] { return 0; });
    (void)vf::check("FSMoveObject");
    EXPECT_EQ(vf::steps(), 1);
}

TEST(FaultSeam, BenignScopesMarkTheirOwnThreadsInjections) {
    vf::Scope scope;
    vf::fail_if([](const vf::Call&) -> OSErr { return ioErr; });
    EXPECT_EQ(vf::check("FSCloseIterator", "plain"), ioErr);
    {
        vf::Benign outer;
        {
            vf::Benign inner;
            EXPECT_EQ(vf::check("FSCloseIterator", "nested"), ioErr);
        }
        EXPECT_EQ(vf::check("FSCloseIterator", "outer"), ioErr);
        std::thread([] { EXPECT_EQ(vf::check("FSCloseIterator", "thread"), ioErr); }).join();
    }
    EXPECT_EQ(vf::check("FSCloseIterator", "after"), ioErr);
    std::vector<std::pair<std::string, bool>> got;
    for (const auto& i : vf::injections()) got.emplace_back(i.detail, i.benign);
    EXPECT_EQ(got, (std::vector<std::pair<std::string, bool>>{{"plain", false},
                                                              {"nested", true},
                                                              {"outer", true},
                                                              {"thread", false},
                                                              {"after", false}}));
}

// check() is noexcept: an armed check must work without allocating, and a
// callback that throws must not end the process.
TEST(FaultSeam, AnArmedCheckNeitherAllocatesNorLetsACallbackEndTheProcess) {
    vf::Scope scope;
    long hooks = 0;
    vf::set_hook([&](const vf::Call&) { ++hooks; });
    vf::fail_if([](const vf::Call& c) -> OSErr { return c.detail == "pred" ? permErr : noErr; });
    vf::fail_nth("CFPreferencesAppSynchronize.fsyncDir", 1, ioErr);
    t_refuse_new = true;
    const OSErr first = vf::check("CFPreferencesAppSynchronize.fsyncDir",
                                  "a detail long enough to need the heap if copied");
    const OSErr second = vf::check("CFPreferencesAppSynchronize.fsyncDir", "pred");
    const OSErr third = vf::check("CFPreferencesAppSynchronize.fsyncDir", "other");
    t_refuse_new = false;
    EXPECT_EQ(first, ioErr);
    EXPECT_EQ(second, permErr);
    EXPECT_EQ(third, noErr);
    EXPECT_EQ(hooks, 3);
    EXPECT_EQ(vf::injected(), 2);

    vf::reset();
    vf::set_hook([](const vf::Call&) { throw std::runtime_error("hook"); });
    vf::fail_if([](const vf::Call&) -> OSErr { throw std::runtime_error("predicate"); });
    EXPECT_EQ(vf::check("FSMoveObject"), noErr) << "a throwing callback is no fault";
    EXPECT_EQ(vf::calls("FSMoveObject"), 1);
}
