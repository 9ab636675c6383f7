// The preferences store on disk: where and how a domain is written, what
// survives a write, what other processes see, and what a failure leaves.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "FaultSweep.h"
#include "prefs_support.h"
#include "vantrel/PreferencesReport.h"
#include "vantrel/fault.h"

namespace {

using namespace vtest;
const CFStringRef kApp = CFSTR("com.ashgrove.Vantrel");

// Every file in `dir` except `keep`: temporary files must not be left behind.
std::set<std::string> stray_files(const fs::path& dir, std::set<std::string> keep) {
    std::set<std::string> out;
    for (auto& e : fs::directory_iterator(dir))
        if (!keep.count(e.path().filename().string())) out.insert(e.path().filename().string());
    return out;
}

const char* kAllTypes = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>bool</key><true/>
	<key>string</key><string>no</string>
	<key>int</key><integer>-42</integer>
	<key>real</key><real>2.5</real>
	<key>date</key><date>2020-02-29T12:00:00Z</date>
	<key>data</key><data>AAEC</data>
	<key>array</key><array><string>a</string><integer>1</integer></array>
	<key>dict</key><dict><key>inner</key><false/></dict>
</dict>
</plist>
)";

TEST(Preferences, EveryPlistTypeSurvivesAWriteWithItsType) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);

    auto check_all = [&] {
        CFTypeRef v;
        v = CFPreferencesCopyAppValue(CFSTR("bool"), kApp);
        EXPECT_EQ(v, kCFBooleanTrue);
        v = CFPreferencesCopyAppValue(CFSTR("string"), kApp);
        ASSERT_EQ(CFGetTypeID(v), CFStringGetTypeID());
        EXPECT_TRUE(CFEqual(v, CFSTR("no")));
        CFRelease(v);
        v = CFPreferencesCopyAppValue(CFSTR("int"), kApp);
        ASSERT_EQ(CFGetTypeID(v), CFNumberGetTypeID());
        int64_t i = 0;
        EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberSInt64Type, &i));
        EXPECT_EQ(i, -42);
        EXPECT_FALSE(CFNumberIsFloatType(static_cast<CFNumberRef>(v)));
        CFRelease(v);
        v = CFPreferencesCopyAppValue(CFSTR("real"), kApp);
        ASSERT_EQ(CFGetTypeID(v), CFNumberGetTypeID());
        EXPECT_TRUE(CFNumberIsFloatType(static_cast<CFNumberRef>(v)));
        CFRelease(v);
        v = CFPreferencesCopyAppValue(CFSTR("date"), kApp);
        ASSERT_EQ(CFGetTypeID(v), CFDateGetTypeID());
        // 2020-02-29T12:00:00Z is 604670400 s after 2001-01-01.
        EXPECT_DOUBLE_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(v)), 604670400.0);
        CFRelease(v);
        v = CFPreferencesCopyAppValue(CFSTR("data"), kApp);
        ASSERT_EQ(CFGetTypeID(v), CFDataGetTypeID());
        EXPECT_EQ(CFDataGetLength(static_cast<CFDataRef>(v)), 3);
        CFRelease(v);
        v = CFPreferencesCopyAppValue(CFSTR("array"), kApp);
        ASSERT_EQ(CFGetTypeID(v), CFArrayGetTypeID());
        EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(v)), 2);
        CFRelease(v);
        v = CFPreferencesCopyAppValue(CFSTR("dict"), kApp);
        ASSERT_EQ(CFGetTypeID(v), CFDictionaryGetTypeID());
        EXPECT_EQ(CFDictionaryGetValue(static_cast<CFDictionaryRef>(v), CFSTR("inner")),
                  kCFBooleanFalse);
        CFRelease(v);
    };
    check_all();

    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    // Another process (a fresh child) reads the written file back.
    pid_t pid = fork();
    if (pid == 0) {
        check_all();
        CFTypeRef d = CFPreferencesCopyAppValue(CFSTR("Duration"), kApp);
        _exit(::testing::Test::HasFailure() || d != kCFBooleanFalse ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string xml = read_file(home.file());
    EXPECT_NE(xml.find("<key>Duration</key>\n\t<false/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<integer>-42</integer>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<date>2020-02-29T12:00:00Z</date>"), std::string::npos) << xml;
}

// Integers from 2^63 to 2^64 - 1, which other programs (python's plistlib)
// write, are that number, not the negative one with the same 64 bits: a
// signed 64-bit read says it does not fit, a double read is close, and the
// value copied to another key is written as the same digits.
TEST(Preferences, UnsignedIntegersAbove64BitSignedKeepTheirValue) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist",
                   "<plist><dict><key>max</key><integer>18446744073709551615</integer>"
                   "<key>half</key><integer>9223372036854775808</integer>"
                   "<key>min</key><integer>-9223372036854775808</integer></dict></plist>");
    struct {
        CFStringRef key;
        double approx;
        bool fits;
    } rows[] = {{CFSTR("max"), 18446744073709551615.0, false},
                {CFSTR("half"), 9223372036854775808.0, false},
                {CFSTR("min"), -9223372036854775808.0, true}};
    for (auto& r : rows) {
        auto n = static_cast<CFNumberRef>(CFPreferencesCopyAppValue(r.key, kApp));
        ASSERT_EQ(CFGetTypeID(n), CFNumberGetTypeID());
        EXPECT_FALSE(CFNumberIsFloatType(n));
        int64_t i = 0;
        EXPECT_EQ(CFNumberGetValue(n, kCFNumberSInt64Type, &i), r.fits) << i;
        double d = 0;
        CFNumberGetValue(n, kCFNumberFloat64Type, &d);
        EXPECT_EQ(d, r.approx);
        CFPreferencesSetAppValue(CFSTR("copy"), n, kApp);
        ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
        CFRelease(n);
    }
    CFTypeRef max = CFPreferencesCopyAppValue(CFSTR("max"), kApp);
    CFTypeRef half = CFPreferencesCopyAppValue(CFSTR("half"), kApp);
    EXPECT_FALSE(CFEqual(max, half));
    int64_t minus_one = -1;
    CFNumberRef m1 = CFNumberCreate(nullptr, kCFNumberSInt64Type, &minus_one);
    EXPECT_FALSE(CFEqual(max, m1));
    CFPreferencesSetAppValue(CFSTR("copy"), max, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_NE(read_file(home.file()).find("<key>copy</key>\n\t<integer>18446744073709551615<"),
              std::string::npos)
        << read_file(home.file());
    CFRelease(max);
    CFRelease(half);
    CFRelease(m1);
}

TEST(Preferences, NothingIsWrittenUntilAChangeIsSynchronised) {
    PrefsHome home;
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Duration"), kApp), nullptr);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));  // nothing recorded: nothing to write
    EXPECT_FALSE(fs::exists(home.file()));

    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanTrue, kApp);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Duration"), kApp),
              kCFBooleanTrue);  // seen at once in-process
    EXPECT_FALSE(fs::exists(home.file()));
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_TRUE(fs::exists(home.file()));
    EXPECT_EQ(stray_files(home.dir.path(), {"com.ashgrove.Vantrel.plist"}),
              std::set<std::string>{});

    CFPreferencesSetAppValue(CFSTR("Duration"), nullptr, kApp);  // null removes the key
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(read_file(home.file()).find("Duration"), std::string::npos);
}

// Another writer's change is seen without restarting, however it was made:
// replaced by rename (a new inode), or edited in place long after the last
// read, keeping the size and with its modification time put back. Only the
// change time then tells the store the file is not the one it read, so the
// edit is made well outside the window in which a recent file is re-read in
// any case.
TEST(Preferences, ChangesMadeByOtherProcessesAppearWithoutRestart) {
    PrefsHome home;
    CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanTrue, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("URL"), kApp), kCFBooleanTrue);
    for (bool v : {false, true, false}) {
        pid_t pid = fork();
        if (pid == 0) {
            CFPreferencesSetAppValue(CFSTR("URL"), v ? kCFBooleanTrue : kCFBooleanFalse, kApp);
            _exit(CFPreferencesAppSynchronize(kApp) ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("URL"), kApp),
                  v ? kCFBooleanTrue : kCFBooleanFalse);
    }

    const std::string on = "<key>URL</key><true/> ", off = "<key>URL</key><false/>";
    auto xml = [](const std::string& entry) {
        return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + entry + "</dict></plist>";
    };
    home.dir.write("com.ashgrove.Vantrel.plist", xml(on));
    struct stat before {};
    ASSERT_EQ(::stat(home.file().c_str(), &before), 0);
    timespec old_times[2] = {before.st_atim, before.st_mtim};
    old_times[1].tv_sec -= 60;  // a minute old: never "just written"
    ASSERT_EQ(::utimensat(AT_FDCWD, home.file().c_str(), old_times, 0), 0);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("URL"), kApp), kCFBooleanTrue);
    usleep(150 * 1000);
    {
        int fd = ::open(home.file().c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        std::string text = xml(off);
        ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        ::close(fd);
    }
    ASSERT_EQ(::utimensat(AT_FDCWD, home.file().c_str(), old_times, 0), 0);
    struct stat after {};
    ASSERT_EQ(::stat(home.file().c_str(), &after), 0);
    ASSERT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_sec, old_times[1].tv_sec);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("URL"), kApp), kCFBooleanFalse);
}

TEST(Preferences, SymlinkedDomainFileStaysALinkAndItsTargetIsReplaced) {
    PrefsHome home;
    fs::path dotfiles = home.dir.mkdir("dotfiles");
    fs::path target = dotfiles / "vantrel.plist";
    home.dir.write("dotfiles/vantrel.plist", kAllTypes);
    fs::create_symlink("dotfiles/vantrel.plist",
                       home.file());  // relative, as dotfile managers make them
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("bool"), kApp), kCFBooleanTrue);

    CFPreferencesSetAppValue(CFSTR("Codec Name"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_TRUE(fs::is_symlink(home.file()));
    EXPECT_EQ(fs::read_symlink(home.file()), "dotfiles/vantrel.plist");
    std::string xml = read_file(target);
    EXPECT_NE(xml.find("Codec Name"), std::string::npos);
    EXPECT_NE(xml.find("<key>string</key>"), std::string::npos);
    EXPECT_EQ(stray_files(dotfiles, {"vantrel.plist"}), std::set<std::string>{});

    // A link whose target does not exist yet: the target is created.
    fs::remove(home.file());
    fs::create_symlink(dotfiles / "fresh.plist", home.file());
    CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanTrue, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_TRUE(fs::is_symlink(home.file()));
    EXPECT_NE(read_file(dotfiles / "fresh.plist").find("<key>URL</key>"), std::string::npos);

    // A chain of 40 links, as many as the kernel follows: what can be read
    // can be written, through the whole chain.
    fs::remove(home.file());
    fs::path next = dotfiles / "fresh.plist";
    for (int i = 1; i < 40; ++i) {
        fs::path link = dotfiles / ("hop" + std::to_string(i));
        fs::create_symlink(next, link);
        next = link;
    }
    fs::create_symlink(next, home.file());
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("URL"), kApp), kCFBooleanTrue);
    CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp)) << vantrel::prefs::last_synchronize().message;
    EXPECT_NE(read_file(dotfiles / "fresh.plist").find("<key>URL</key>\n\t<false/>"),
              std::string::npos);
    EXPECT_TRUE(fs::is_symlink(dotfiles / "hop1"));
}

TEST(Preferences, UnparseableFileGivesNoValuesAndIsKeptAtTheNextWrite) {
    PrefsHome home;
    const std::string garbage = "<?xml version=\"1.0\"?><plist><dict><key>Duration</key><fal";
    home.dir.write("com.ashgrove.Vantrel.plist", garbage);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Duration"), kApp), nullptr);
    EXPECT_FALSE(
        fs::exists(home.dir / "com.ashgrove.Vantrel.plist.corrupt"));  // reading keeps it as it is

    CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(read_file(home.dir / "com.ashgrove.Vantrel.plist.corrupt"), garbage);
    plist_t p = parse_file(home.file());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(plist_dict_get_size(p), 1u);
    plist_free(p);

    // A second corrupt file never replaces the first one kept.
    home.dir.write("com.ashgrove.Vantrel.plist", "not a plist at all");
    CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanTrue, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(read_file(home.dir / "com.ashgrove.Vantrel.plist.corrupt"), garbage);
    EXPECT_EQ(read_file(home.dir / "com.ashgrove.Vantrel.plist.2.corrupt"), "not a plist at all");

    // A valid plist that is not a dictionary is just as unusable.
    home.dir.write("com.ashgrove.Vantrel.plist",
                   "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("URL"), kApp), nullptr);
}

TEST(Preferences, UnusableApplicationIdsAndKeysAreRefused) {
    PrefsHome home;
    for (CFStringRef bad : {CFSTR(""), CFSTR("."), CFSTR(".."), CFSTR("../escape"), CFSTR("a/b")}) {
        CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, bad);
        EXPECT_FALSE(CFPreferencesAppSynchronize(bad));
        EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("k"), bad), nullptr);
    }
    CFPreferencesSetAppValue(reinterpret_cast<CFStringRef>(kCFBooleanTrue), kCFBooleanTrue, kApp);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));
    // A value that is not a property list is not recorded, and the next
    // synchronisation says so (once): it must not pass for a saved one.
    CFPreferencesSetAppValue(CFSTR("not a plist value"), CFNotificationCenterGetDistributedCenter(),
                             kApp);
    EXPECT_FALSE(CFPreferencesAppSynchronize(kApp));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_FALSE(fs::exists(home.file()));
    EXPECT_TRUE(fs::is_empty(home.dir.path()));
    EXPECT_FALSE(fs::exists(home.dir.path().parent_path() / "escape.plist"));
}

// A synchronisation failed at each of its calls (every class, transient and
// persistent): the call reports failure, the old file is byte for byte what
// it was (or there is still none), no temporary file remains, and the
// recorded change is written by the next synchronisation. Flushing the
// directory comes after the new file is in place: its failure is reported,
// and the new file stands.
TEST(Preferences, AFailureAtEachCallOfASynchronisationKeepsTheOldFile) {
    for (const bool existing : {true, false}) {
        SCOPED_TRACE(existing ? "over an existing file" : "a first write");
        vtest::FaultSweep sweep;
        sweep.run([&](vtest::FaultTrial& t) {
            PrefsHome home;
            if (existing) home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);
            CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
            const bool ok = t.inject([] { return CFPreferencesAppSynchronize(kApp) != 0; });
            const auto written = [&] {
                return read_file(home.file()).find("<key>Duration</key>") != std::string::npos;
            };
            if (t.clean()) {
                EXPECT_TRUE(ok);
                EXPECT_TRUE(written());
                return;
            }
            EXPECT_FALSE(ok) << "a failure is never reported as success";
            if (t.log().front().op == "CFPreferencesAppSynchronize.fsyncDir") {
                EXPECT_TRUE(written()) << "the new file stands";
            } else if (existing) {
                EXPECT_EQ(read_file(home.file()), kAllTypes);
            } else {
                EXPECT_FALSE(fs::exists(home.file()));
            }
            EXPECT_EQ(stray_files(home.dir.path(), {"com.ashgrove.Vantrel.plist"}),
                      std::set<std::string>{});
            ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
            EXPECT_TRUE(written());
        });
    }
}

TEST(Preferences, FailureToKeepACorruptFileWritesNothing) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", "garbage");
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("CFPreferencesAppSynchronize.keepCorrupt", 1, ioErr);
    CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanFalse, kApp);
    EXPECT_FALSE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(read_file(home.file()), "garbage");
    EXPECT_FALSE(fs::exists(home.dir / "com.ashgrove.Vantrel.plist.corrupt"));
}

TEST(Preferences, DirectoryFlushFailureIsReportedButTheNewFileStands) {
    PrefsHome home;
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("CFPreferencesAppSynchronize.fsyncDir", 1, ioErr);
    CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanFalse, kApp);
    EXPECT_FALSE(CFPreferencesAppSynchronize(kApp));
    EXPECT_NE(read_file(home.file()).find("<key>URL</key>"), std::string::npos);
}

TEST(Preferences, ReadFaultsGiveNoValue) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("CFPreferencesCopyAppValue", 1, ioErr);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("bool"), kApp), nullptr);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("bool"), kApp), kCFBooleanTrue);
    vantrel::fault::fail_next("CFPreferencesCopyAppValue.read", ioErr);
    home.dir.write("com.ashgrove.Vantrel.plist",
                   std::string(kAllTypes) + "\n");  // changed: read again
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("bool"), kApp), nullptr);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("bool"), kApp), kCFBooleanTrue);  // retried
}

// Two processes each store hundreds of keys of their own, one synchronisation
// per key, at the same time: the file ends with every key of both.
TEST(Preferences, ConcurrentWritersLoseNothing) {
    PrefsHome home;
    constexpr int kPerWriter = 300;
    std::vector<pid_t> kids;
    for (int w = 0; w < 2; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kPerWriter; ++i) {
                CFStringRef k = create_cfstr("w" + std::to_string(w) + "-" + std::to_string(i));
                CFPreferencesSetAppValue(k, (i % 2) ? kCFBooleanTrue : kCFBooleanFalse, kApp);
                CFRelease(k);
                if (!CFPreferencesAppSynchronize(kApp)) _exit(2);
            }
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) {
        int status = 0;
        waitpid(k, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    plist_t p = parse_file(home.file());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(plist_dict_get_size(p), 2u * kPerWriter);
    for (int w = 0; w < 2; ++w)
        for (int i = 0; i < kPerWriter; ++i) {
            plist_t v =
                plist_dict_get_item(p, ("w" + std::to_string(w) + "-" + std::to_string(i)).c_str());
            ASSERT_NE(v, nullptr) << w << "-" << i;
            uint8_t b = 2;
            plist_get_bool_val(v, &b);
            EXPECT_EQ(b, i % 2);
        }
    plist_free(p);
}

// A writer killed at random moments never leaves a torn file.
TEST(Preferences, WriterKilledAtRandomLeavesAParseableFile) {
    PrefsHome home;
    // The file is there before the first kill, so that every round kills a
    // writer replacing it, however slow the machine (a writer too slow to
    // finish one write before its kill once left no file at all to check).
    // Written directly: the writers are forks, and should start from a store
    // this process has not used.
    home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; ++round) {
        pid_t pid = fork();
        if (pid == 0) {
            // Large values make each write take long enough to be interrupted.
            std::string big(64 * 1024, 'x');
            CFStringRef v = create_cfstr(big);
            for (long i = 0;; ++i) {
                CFStringRef k = create_cfstr("k" + std::to_string(i % 8));
                CFPreferencesSetAppValue(k, v, kApp);
                CFRelease(k);
                CFPreferencesAppSynchronize(kApp);
            }
        }
        usleep(std::uniform_int_distribution<int>(1000, 30000)(rng));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ASSERT_TRUE(fs::exists(home.file())) << "no file after round " << round;
        plist_t p = parse_file(home.file());
        ASSERT_NE(p, nullptr) << "torn file after round " << round;
        EXPECT_EQ(plist_get_node_type(p), PLIST_DICT);
        plist_free(p);
    }
    // The next write removes the temporary files the killed writers left,
    // and nothing that is not one of them: a file of the user's whose name
    // looks alike, and the temporary file of a writer still running.
    home.dir.write(".com.ashgrove.Vantrel.plist.backup", "mine");
    home.dir.write(".com.ashgrove.Vantrel.plist.tmp1-abcdef", "pid 1 runs");
    CFPreferencesSetAppValue(CFSTR("Last"), kCFBooleanTrue, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(stray_files(home.dir.path(), {"com.ashgrove.Vantrel.plist"}),
              (std::set<std::string>{".com.ashgrove.Vantrel.plist.backup",
                                     ".com.ashgrove.Vantrel.plist.tmp1-abcdef"}));
}

// --- What a domain path may name ---------------------------------------------

// Runs `body` in a child, on a thread with a 1 MiB stack, killed after `seconds`: a read that
// blocks on a FIFO or reads an endless device must fail the test, not hang it.
std::string in_child(int seconds, const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe";
    pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(static_cast<unsigned>(seconds));
        // On a thread with a 1 MiB stack: no input may need more.
        struct Run {
            const std::function<std::string()>* body;
            std::string msg;
        } run{&body, {}};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 1 << 20);
        pthread_t thread;
        pthread_create(
            &thread, &attr,
            [](void* p) -> void* {
                auto* r = static_cast<Run*>(p);
                r->msg = (*r->body)();
                return nullptr;
            },
            &run);
        pthread_join(thread, nullptr);
        std::string msg = run.msg;
        if (!msg.empty() && ::write(fds[1], msg.data(), msg.size()) < 0) _exit(3);
        _exit(msg.empty() ? 0 : 1);
    }
    ::close(fds[1]);
    std::string msg;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) msg.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
        return msg + "child killed by signal " + std::to_string(WTERMSIG(status));
    return msg;
}

struct NodeCase {
    const char* name;
    // Makes the thing the domain path names (directly or through a link) in
    // `dir`; returns "" or a reason to skip.
    std::function<std::string(const fs::path& dir, const fs::path& domain)> make;
};
void PrintTo(const NodeCase& c, std::ostream* os) {
    *os << c.name;
}

std::string make_device(const fs::path& node, unsigned major, unsigned minor) {
    if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(major, minor)) != 0)
        return std::string("mknod: ") + std::strerror(errno) + " (needs root)";
    return "";
}

struct NodeState {
    mode_t type;
    dev_t rdev;
    ino_t ino;
};
NodeState node_state(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return {0, 0, 0};
    return {static_cast<mode_t>(st.st_mode & S_IFMT), st.st_rdev, st.st_ino};
}

class NonRegularDomain : public ::testing::TestWithParam<NodeCase> {};

// Only a regular file is a domain file: anything else reads as no values at
// once (no hang, no endless read), reported as unreadable, and is never
// written, replaced or renamed over; the write fails.
TEST_P(NonRegularDomain, ReadsAsNoValuesAndIsNeverReplaced) {
    PrefsHome home;
    fs::path nodes = home.dir.mkdir("nodes");
    std::string skip = GetParam().make(nodes, home.file());
    if (!skip.empty()) GTEST_SKIP() << skip;
    std::map<fs::path, NodeState> before;
    for (auto& e : fs::directory_iterator(nodes)) before[e.path()] = node_state(e.path());
    NodeState domain_before = node_state(home.file());
    // Whatever the path names is never opened (a FIFO's open would release
    // a writer waiting for a reader; a device's open can act on it).
    int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    for (auto& [path, st] : before) ::inotify_add_watch(watch, path.c_str(), IN_OPEN);
    if (!fs::is_symlink(home.file())) ::inotify_add_watch(watch, home.file().c_str(), IN_OPEN);

    std::string msg = in_child(20, [&]() -> std::string {
        auto before = vantrel::prefs::last_unreadable_read().serial;
        if (CFPreferencesCopyAppValue(CFSTR("Duration"), kApp) != nullptr) return "a value read";
        // Reported, so that a host says why it shows no settings.
        auto read = vantrel::prefs::last_unreadable_read();
        if (read.serial == before || read.problem != "it is not a regular file" ||
            read.kept_aside_at_next_write)
            return "the read was not reported as unreadable (" + read.problem + ")";
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
        if (CFPreferencesAppSynchronize(kApp)) return "synchronise reported success";
        return "";
    });
    EXPECT_EQ(msg, "");
    for (auto& [path, st] : before) {
        NodeState now = node_state(path);
        EXPECT_EQ(now.type, st.type) << path;
        EXPECT_EQ(now.rdev, st.rdev) << path;
        EXPECT_EQ(now.ino, st.ino) << path;
    }
    EXPECT_EQ(node_state(home.file()).ino, domain_before.ino);
    EXPECT_EQ(stray_files(home.dir.path(), {"com.ashgrove.Vantrel.plist", "nodes"}),
              std::set<std::string>{});
    char events[4096];
    ssize_t got = ::read(watch, events, sizeof events);
    ::close(watch);
    EXPECT_LE(got, 0) << "the node was opened";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NonRegularDomain,
    ::testing::Values(NodeCase{"LinkToDeviceThatReadsEmpty",
                               [](const fs::path& dir, const fs::path& domain) {
                                   std::string r = make_device(dir / "null", 1, 3);
                                   if (r.empty()) fs::create_symlink(dir / "null", domain);
                                   return r;
                               }},
                      NodeCase{"LinkToEndlessDevice",
                               [](const fs::path& dir, const fs::path& domain) {
                                   std::string r = make_device(dir / "zero", 1, 5);
                                   if (r.empty()) fs::create_symlink(dir / "zero", domain);
                                   return r;
                               }},
                      NodeCase{"DeviceAtThePath",
                               [](const fs::path&, const fs::path& domain) {
                                   return make_device(domain, 1, 3);
                               }},
                      NodeCase{"FifoAtThePath",
                               [](const fs::path&, const fs::path& domain) {
                                   return ::mkfifo(domain.c_str(), 0600) == 0 ? ""
                                                                              : "mkfifo failed";
                               }},
                      NodeCase{"LinkToFifo",
                               [](const fs::path& dir, const fs::path& domain) {
                                   if (::mkfifo((dir / "fifo").c_str(), 0600) != 0)
                                       return std::string("mkfifo");
                                   fs::create_symlink("nodes/fifo", domain);
                                   return std::string();
                               }},
                      NodeCase{"DirectoryAtThePath",
                               [](const fs::path&, const fs::path& domain) {
                                   fs::create_directory(domain);
                                   return std::string();
                               }}),
    [](const auto& info) { return std::string(info.param.name); });

// A file larger than the limit reads as unparseable (and is kept at the next
// write); one at the limit is read.
TEST(Preferences, SizeLimitOfADomainFile) {
    for (bool over : {false, true}) {
        PrefsHome home;
        std::string doc =
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Duration</key><false/>"
            "</dict></plist>\n";
        std::string padded = doc + std::string((64u << 20) - doc.size() + (over ? 1 : 0), ' ');
        home.dir.write("com.ashgrove.Vantrel.plist", padded);
        padded.clear();
        EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Duration"), kApp),
                  over ? nullptr : kCFBooleanFalse)
            << over;
        CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanFalse, kApp);
        ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
        EXPECT_EQ(fs::exists(home.dir / "com.ashgrove.Vantrel.plist.corrupt"), over);
        EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Duration"), kApp),
                  over ? nullptr : kCFBooleanFalse);
    }
}

// --- Nesting -----------------------------------------------------------------------

std::string nested_arrays(std::size_t depth) {
    std::string s;
    s.reserve(depth * 15 + 16);
    for (std::size_t i = 0; i < depth; ++i) s += "<array>";
    s += "<true/>";
    for (std::size_t i = 0; i < depth; ++i) s += "</array>";
    return s;
}

// A binary property list made of `objs` (object 0 is the root): 'd' a
// dictionary (refs: keys, then values), 'a' an array, 's' an ASCII string, 'f'
// false.
struct BinObj {
    char kind;  // 'd'ictionary, 'a'rray, 's'tring, 'f'alse, 'r'aw bytes
    std::string text;
    std::vector<std::uint32_t> refs;
};
std::string binary_plist(const std::vector<BinObj>& objs) {
    std::string out = "bplist00";
    std::vector<std::uint32_t> offsets;
    auto be32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((v >> s) & 0xFF);
    };
    for (const BinObj& o : objs) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        if (o.kind == 'f') {
            out += static_cast<char>(0x08);
            continue;
        }
        if (o.kind == 'r') {  // an object given as its bytes
            out += o.text;
            continue;
        }
        if (o.kind == 's') {
            out += static_cast<char>(0x50 | o.text.size());  // short strings only
            out += o.text;
            continue;
        }
        std::size_t n = o.kind == 'd' ? o.refs.size() / 2 : o.refs.size();
        out += static_cast<char>((o.kind == 'd' ? 0xD0 : 0xA0) | (n < 15 ? n : 15));
        if (n >= 15) {
            out += static_cast<char>(0x12);
            be32(static_cast<std::uint32_t>(n));
        }
        for (std::uint32_t r : o.refs) be32(r);
    }
    auto table = static_cast<std::uint64_t>(out.size());
    for (std::uint32_t o : offsets) be32(o);
    out += std::string(6, '\0');
    out += static_cast<char>(4);  // offset size
    out += static_cast<char>(4);  // reference size
    auto be64 = [&](std::uint64_t v) {
        for (int s = 56; s >= 0; s -= 8) out += static_cast<char>((v >> s) & 0xFF);
    };
    be64(offsets.size());
    be64(0);
    be64(table);
    return out;
}

// The root {"Duration": false, "Deep": object 4}, then `rest` from object 4.
std::string binary_with_deep(std::vector<BinObj> rest) {
    std::vector<BinObj> objs = {
        {'d', "", {1, 2, 3, 4}}, {'s', "Duration", {}}, {'s', "Deep", {}}, {'f', "", {}}};
    objs.insert(objs.end(), rest.begin(), rest.end());
    return binary_plist(objs);
}

// "Deep" holding arrays nested `depth` deep.
std::string binary_nested(std::uint32_t depth) {
    std::vector<BinObj> arrays;
    for (std::uint32_t i = 0; i < depth; ++i)
        arrays.push_back(
            {'a', "",
             i + 1 == depth ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{i + 5}});
    return binary_with_deep(arrays);
}

// "Deep" holding `levels` arrays each referring to the next twice: small on
// disk, 2^levels values once expanded.
std::string binary_diamond(std::uint32_t levels) {
    std::vector<BinObj> arrays;
    for (std::uint32_t i = 0; i < levels; ++i)
        arrays.push_back({'a', "",
                          i + 1 == levels ? std::vector<std::uint32_t>{}
                                          : std::vector<std::uint32_t>{i + 5, i + 5}});
    return binary_with_deep(arrays);
}

struct DepthCase {
    const char* name;
    std::function<std::string()> file;
    bool readable;
};
void PrintTo(const DepthCase& c, std::ostream* os) {
    *os << c.name;
}

class NestingDepth : public ::testing::TestWithParam<DepthCase> {};

// Nesting up to the limit is read; a deeper file is unparseable: no values,
// no crash, and it is kept as .corrupt at the next write.
TEST_P(NestingDepth, DeeperThanTheLimitIsUnparseable) {
    PrefsHome home;
    const std::string file = GetParam().file();
    home.dir.write("com.ashgrove.Vantrel.plist", file);
    std::string msg = in_child(60, [&]() -> std::string {
        CFTypeRef v = CFPreferencesCopyAppValue(CFSTR("Duration"), kApp);
        if (GetParam().readable != (v == kCFBooleanFalse)) return "Duration read wrong";
        CFTypeRef deep = CFPreferencesCopyAppValue(CFSTR("Deep"), kApp);
        if (GetParam().readable != (deep != nullptr)) return "Deep read wrong";
        CFRelease(deep);
        CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanTrue, kApp);
        if (!CFPreferencesAppSynchronize(kApp)) return "synchronise failed";
        return "";
    });
    EXPECT_EQ(msg, "");
    if (GetParam().readable) {
        EXPECT_FALSE(fs::exists(home.dir / "com.ashgrove.Vantrel.plist.corrupt"));
    } else {
        EXPECT_EQ(read_file(home.dir / "com.ashgrove.Vantrel.plist.corrupt"), file);
    }
    EXPECT_NE(read_file(home.file()).find("<key>URL</key>"), std::string::npos);
}

std::string xml_with_deep(std::size_t depth) {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Duration</key><false/>"
           "<key>Deep</key>" +
           nested_arrays(depth) + "</dict></plist>";
}

INSTANTIATE_TEST_SUITE_P(
    Files, NestingDepth,
    ::testing::Values(
        // The root dictionary is level 1: 255 arrays under a key reach the limit.
        DepthCase{"XmlAtTheLimit", [] { return xml_with_deep(255); }, true},
        DepthCase{"XmlOneOverTheLimit", [] { return xml_with_deep(256); }, false},
        DepthCase{"Xml20000Deep", [] { return xml_with_deep(20000); }, false},
        DepthCase{"Xml100000Deep", [] { return xml_with_deep(100000); }, false},
        DepthCase{"BinaryAtTheLimit", [] { return binary_nested(255); }, true},
        DepthCase{"Binary100000Deep", [] { return binary_nested(100000); }, false},
        DepthCase{"BinaryCycle",
                  [] {
                      return binary_with_deep({{'a', "", {5}}, {'a', "", {4}}});
                  },
                  false},
        DepthCase{"BinaryExpandingToMillions", [] { return binary_diamond(21); }, false},
        DepthCase{"BinaryReferenceOutOfRange",
                  [] {
                      return binary_with_deep({{'a', "", {99}}});
                  },
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

// A value nested deeper than the limit is not recorded, and the next
// synchronisation says so; the file keeps what it had.
TEST(Preferences, ValuesNestedTooDeepAreRefused) {
    PrefsHome home;
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    std::string before = read_file(home.file());
    CFMutableArrayRef inner = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (int i = 0; i < 300; ++i) {
        CFMutableArrayRef outer = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        CFArrayAppendValue(outer, inner);
        CFRelease(inner);
        inner = outer;
    }
    CFPreferencesSetAppValue(CFSTR("Deep"), inner, kApp);
    CFRelease(inner);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Deep"), kApp), nullptr);
    EXPECT_FALSE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(read_file(home.file()), before);
}

// --- Values the store did not set come back as they were ---------------------------

// Seconds from 2001-01-01 to a UTC date, computed with the C++ calendar.
double cf_seconds(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0) {
    using namespace std::chrono;
    auto t = sys_days(year(y) / month(m) / day(d)) + hours(hh) + minutes(mm) + seconds(ss);
    return static_cast<double>((t - sys_days(year(2001) / January / 1)).count());
}

struct DateCase {
    const char* name;
    const char* text;  // as another program wrote it
    double at;         // seconds from 2001-01-01
};
void PrintTo(const DateCase& c, std::ostream* os) {
    *os << c.name;
}

class UntouchedDate : public ::testing::TestWithParam<DateCase> {};

TEST_P(UntouchedDate, ComesBackByteForByteAndReadsAsItsOwnDate) {
    PrefsHome home;
    std::string element = std::string("<date>") + GetParam().text + "</date>";
    home.dir.write("com.ashgrove.Vantrel.plist",
                   "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>When</key>" + element +
                       "<key>Nested</key><array>" + element + "</array></dict></plist>");
    auto check = [&] {
        CFTypeRef v = CFPreferencesCopyAppValue(CFSTR("When"), kApp);
        ASSERT_EQ(CFGetTypeID(v), CFDateGetTypeID());
        EXPECT_DOUBLE_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(v)), GetParam().at);
        CFRelease(v);
        CFTypeRef a = CFPreferencesCopyAppValue(CFSTR("Nested"), kApp);
        ASSERT_EQ(CFGetTypeID(a), CFArrayGetTypeID());
        auto d = static_cast<CFDateRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(a), 0));
        EXPECT_DOUBLE_EQ(CFDateGetAbsoluteTime(d), GetParam().at);
        CFRelease(a);
    };
    check();
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    std::string xml = read_file(home.file());
    EXPECT_NE(xml.find("<key>When</key>\n\t" + element), std::string::npos) << xml;
    EXPECT_NE(xml.find("<array>" + element + "</array>"), std::string::npos) << xml;
    check();
}

INSTANTIATE_TEST_SUITE_P(
    Dates, UntouchedDate,
    ::testing::Values(
        DateCase{"Year1900", "1900-01-01T00:00:00Z", cf_seconds(1900, 1, 1)},
        DateCase{"Year1931", "1931-12-31T23:59:59Z", cf_seconds(1931, 12, 31, 23, 59, 59)},
        DateCase{"Year2096", "2096-06-01T12:00:00Z", cf_seconds(2096, 6, 1, 12)},
        DateCase{"Year2100", "2100-01-01T00:00:00Z", cf_seconds(2100, 1, 1)},
        DateCase{"Year1", "0001-01-01T00:00:00Z", cf_seconds(1, 1, 1)},
        DateCase{"Year9999", "9999-12-31T23:59:59Z", cf_seconds(9999, 12, 31, 23, 59, 59)},
        DateCase{"FractionalSeconds", "2020-01-01T00:00:00.25Z", cf_seconds(2020, 1, 1) + 0.25}),
    [](const auto& info) { return std::string(info.param.name); });

// Dates this process stores, far from 2001, are written as their own years.
TEST(Preferences, DatesSetFarFrom2001AreWrittenAsTheirOwnYears) {
    PrefsHome home;
    struct {
        const char* key;
        double at;
        const char* text;
    } rows[] = {{"a", cf_seconds(2096, 6, 1, 12), "2096-06-01T12:00:00Z"},
                {"b", cf_seconds(1900, 1, 1), "1900-01-01T00:00:00Z"},
                {"c", cf_seconds(2100, 1, 1), "2100-01-01T00:00:00Z"}};
    for (auto& r : rows) {
        CFDateRef d = CFDateCreate(nullptr, r.at);
        CFStringRef k = create_cfstr(r.key);
        CFPreferencesSetAppValue(k, d, kApp);
        CFRelease(k);
        CFRelease(d);
    }
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    std::string xml = read_file(home.file());
    for (auto& r : rows) {
        EXPECT_NE(xml.find(std::string("<date>") + r.text + "</date>"), std::string::npos)
            << r.text << "\n"
            << xml;
    }
}

// --- Characters XML cannot hold ------------------------------------------------------

bool python_reads(const fs::path& file) {
    std::string cmd =
        "python3 -c 'import plistlib,sys; plistlib.load(open(sys.argv[1],\"rb\"))' '" +
        file.string() + "' 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

// A string (value or key, at any depth) holding a character that XML 1.0
// cannot hold is refused: nothing recorded, the next synchronisation fails,
// and the file stays one that other programs read. Tab, line feed and
// carriage return are kept.
TEST(Preferences, StringsWithCharactersXmlCannotHoldAreRefused) {
    if (std::system("python3 -c 'import plistlib' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3 is not installed";
    PrefsHome home;
    const UniChar ctrl[] = {'a', 0x0001, 'b'};
    CFStringRef bad = CFStringCreateWithCharacters(nullptr, ctrl, 3);
    const UniChar lone[] = {'a', 0xD800};
    CFStringRef surrogate = CFStringCreateWithCharacters(nullptr, lone, 2);
    CFStringRef ok = create_cfstr("tab\there\r\nline <&>");

    CFPreferencesSetAppValue(CFSTR("Text"), ok, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_TRUE(python_reads(home.file()));
    CFTypeRef back = CFPreferencesCopyAppValue(CFSTR("Text"), kApp);
    EXPECT_TRUE(CFEqual(back, ok));
    CFRelease(back);
    std::string before = read_file(home.file());

    CFMutableArrayRef holder = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(holder, bad);
    CFMutableDictionaryRef keyed = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(keyed, bad, kCFBooleanTrue);
    struct {
        CFStringRef key;
        CFTypeRef value;
    } rows[] = {{CFSTR("Text"), bad},
                {CFSTR("Text"), surrogate},
                {bad, kCFBooleanTrue},
                {CFSTR("List"), holder},
                {CFSTR("Map"), keyed}};
    for (auto& r : rows) {
        CFPreferencesSetAppValue(r.key, r.value, kApp);
        back = CFPreferencesCopyAppValue(CFSTR("Text"), kApp);
        EXPECT_TRUE(CFEqual(back, ok));  // nothing recorded
        CFRelease(back);
        EXPECT_FALSE(CFPreferencesAppSynchronize(kApp));
        EXPECT_EQ(read_file(home.file()), before);
        EXPECT_TRUE(python_reads(home.file()));
        EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));  // reported once
    }
    CFRelease(holder);
    CFRelease(keyed);
    CFRelease(bad);
    CFRelease(surrogate);
    CFRelease(ok);
}

// A document in another encoding than UTF-8 (declared, or marked by a byte
// order mark) reads as its characters, and a write, which declares UTF-8,
// writes them in UTF-8: the file still says the same thing to other programs.
// An encoding nobody knows makes the file unparseable (kept as .corrupt).
struct EncodedCase {
    const char* name;
    std::string bytes;  // the file
    const char* title;  // the value of "Title", in UTF-8; null: unparseable
};
void PrintTo(const EncodedCase& c, std::ostream* os) {
    *os << c.name;
}

std::string utf16(const std::u16string& s, bool big_endian) {
    std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : s) {
        char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
        out += big_endian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

const std::string kEncBody = "<plist version=\"1.0\"><dict><key>Title</key><string>";
const std::string kEncEnd = "</string><key>URL</key><false/></dict></plist>\n";

class EncodedDomain : public ::testing::TestWithParam<EncodedCase> {};

TEST_P(EncodedDomain, ReadsItsCharactersAndIsWrittenBackAsUtf8) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", GetParam().bytes);
    CFTypeRef v = CFPreferencesCopyAppValue(CFSTR("Title"), kApp);
    if (GetParam().title == nullptr) {
        EXPECT_EQ(v, nullptr);
    } else {
        CFStringRef want = create_cfstr(GetParam().title);
        EXPECT_TRUE(v && CFEqual(v, want)) << (v ? cf_utf8(static_cast<CFStringRef>(v)) : "null");
        CFRelease(want);
    }
    CFRelease(v);
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    std::string xml = read_file(home.file());
    if (GetParam().title == nullptr) {
        EXPECT_EQ(read_file(home.dir / "com.ashgrove.Vantrel.plist.corrupt"), GetParam().bytes);
        return;
    }
    EXPECT_FALSE(fs::exists(home.dir / "com.ashgrove.Vantrel.plist.corrupt"));
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << xml;
    EXPECT_NE(xml.find(std::string("<string>") + GetParam().title + "</string>"), std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<key>URL</key>\n\t<false/>"), std::string::npos) << xml;
    if (std::system("python3 -c 'import plistlib' 2>/dev/null") == 0) {
        std::string cmd =
            "python3 -c 'import plistlib,sys; d=plistlib.load(open(sys.argv[1],\"rb\")); "
            "sys.exit(d[\"Title\"] != sys.argv[2].encode(\"utf-8\",\"surrogateescape\").decode())' "
            "'" +
            home.file().string() + "' '" + GetParam().title + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << xml;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, EncodedDomain,
    ::testing::Values(
        EncodedCase{"Latin1",
                    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" + kEncBody +
                        "Gr\xF6\xDF"
                        "e caf\xE9" +
                        kEncEnd,
                    "Gr\u00f6\u00dfe caf\u00e9"},
        EncodedCase{
            "Windows1252SingleQuoted",
            "<?xml version='1.0' encoding='windows-1252'?>\n" + kEncBody + "5 \x80" + kEncEnd,
            "5 \u20ac"},
        EncodedCase{"Utf16LittleEndianWithMark",
                    utf16(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<plist version=\"1.0\">"
                          u"<dict><key>Title</key><string>caf\u00e9 \u2615</string><key>URL</key>"
                          u"<false/></dict></plist>\n",
                          false),
                    "caf\u00e9 \u2615"},
        EncodedCase{"Utf16BigEndianWithMark",
                    utf16(u"<?xml version=\"1.0\"?><plist><dict><key>Title</key><string>\u00c5"
                          u"</string><key>URL</key><false/></dict></plist>",
                          true),
                    "\u00c5"},
        EncodedCase{
            "Utf8LabelledUtf16",
            "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + kEncBody + "caf\xC3\xA9" + kEncEnd,
            "caf\u00e9"},
        EncodedCase{"UnknownEncoding",
                    "<?xml version=\"1.0\" encoding=\"x-no-such-encoding\"?>\n" + kEncBody +
                        "caf\xE9" + kEncEnd,
                    nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// A binary property list whose root dictionary maps "Value" to `object` (its
// marker and payload) and "URL" to true.
std::string bplist_with(const std::string& object) {
    return binary_plist({{'d', "", {1, 2, 3, 4}},
                         {'s', "Value", {}},
                         {'s', "URL", {}},
                         {'r', object, {}},
                         {'r', "\x09", {}}});
}

std::string be_double(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    std::string out;
    for (int i = 7; i >= 0; --i) out += static_cast<char>((bits >> (8 * i)) & 0xFF);
    return out;
}

struct BinaryCase {
    const char* name;
    std::string object;                      // marker and payload of "Value"
    std::function<bool(CFTypeRef)> matches;  // null: the document does not parse
};
void PrintTo(const BinaryCase& c, std::ostream* os) {
    *os << c.name;
}

class BinaryDomain : public ::testing::TestWithParam<BinaryCase> {};

// A binary domain file (written on a Mac, or by python) reads as its own
// values; the first write turns it into XML that says the same, to us and to
// other programs. A value that XML cannot hold makes the file unparseable
// (kept as .corrupt) instead of being written as something else.
TEST_P(BinaryDomain, ReadsItsValuesAndIsRewrittenAsTheSameXml) {
    PrefsHome home;
    std::string bytes = bplist_with(GetParam().object);
    home.dir.write("com.ashgrove.Vantrel.plist", bytes);
    auto check = [&](const char* when) {
        CFTypeRef v = CFPreferencesCopyAppValue(CFSTR("Value"), kApp);
        CFTypeRef url = CFPreferencesCopyAppValue(CFSTR("URL"), kApp);
        if (GetParam().matches) {
            EXPECT_TRUE(v && GetParam().matches(v)) << when;
            EXPECT_EQ(url, kCFBooleanTrue) << when;
        } else {
            EXPECT_EQ(v, nullptr) << when;
            EXPECT_EQ(url, nullptr) << when;
        }
        CFRelease(v);
    };
    check("read from the binary file");
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    if (!GetParam().matches) {
        EXPECT_EQ(read_file(home.dir / "com.ashgrove.Vantrel.plist.corrupt"), bytes);
    } else {
        check("read from the XML written");
        EXPECT_FALSE(fs::exists(home.dir / "com.ashgrove.Vantrel.plist.corrupt"));
    }
    if (std::system("python3 -c 'import plistlib' 2>/dev/null") == 0) {
        EXPECT_TRUE(python_reads(home.file())) << read_file(home.file());
    }
}

bool string_is(CFTypeRef v, std::u16string want) {
    CFStringRef w = CFStringCreateWithCharacters(
        nullptr, reinterpret_cast<const UniChar*>(want.data()), static_cast<CFIndex>(want.size()));
    bool same = CFEqual(v, w);
    CFRelease(w);
    return same;
}

INSTANTIATE_TEST_SUITE_P(
    Values, BinaryDomain,
    ::testing::Values(
        // 0001-01-01T00:00:00Z, 63113904000 s before 2001.
        BinaryCase{"DateInYearOne", "\x33" + be_double(-63113904000.0),
                   [](CFTypeRef v) {
                       return CFGetTypeID(v) == CFDateGetTypeID() &&
                              CFDateGetAbsoluteTime(static_cast<CFDateRef>(v)) == -63113904000.0;
                   }},
        BinaryCase{"CarriageReturnInAString", std::string("\x63\0a\0\r\0b", 7),
                   [](CFTypeRef v) { return string_is(v, u"a\rb"); }},
        BinaryCase{"UnsignedInteger128Bits", "\x14" + std::string(8, '\0') + std::string(8, '\xFF'),
                   [](CFTypeRef v) {
                       double d = 0;
                       int64_t i = 0;
                       if (CFGetTypeID(v) != CFNumberGetTypeID()) return false;
                       auto n = static_cast<CFNumberRef>(v);
                       CFNumberGetValue(n, kCFNumberFloat64Type, &d);  // inexact: false
                       return !CFNumberGetValue(n, kCFNumberSInt64Type, &i) &&
                              d == 18446744073709551615.0;
                   }},
        BinaryCase{"ControlCharacterInAString", std::string("\x63\0a\0\x01\0b", 7), nullptr},
        BinaryCase{"NullObject", std::string("\x00", 1), nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// --- A failed synchronisation and later writers ---------------------------------------

// After a failed synchronisation this process's recorded value must not
// overwrite a value another process stored since: it is dropped, read and
// write alike, and the next synchronisation says so (the file has every
// other change, but not that one). A key nobody else touched is still
// written later.
TEST(Preferences, AFailedChangeNeverOverwritesALaterOneFromAnotherProcess) {
    PrefsHome home;
    auto reports_only_the_drop = [](const char* word) {
        ASSERT_FALSE(CFPreferencesAppSynchronize(kApp));
        auto r = vantrel::prefs::last_synchronize();
        EXPECT_TRUE(r.written);
        ASSERT_EQ(r.lost.size(), 1u) << r.message;
        EXPECT_EQ(r.lost[0].first, "Duration");
        EXPECT_NE(r.lost[0].second.find(word), std::string::npos) << r.lost[0].second;
        EXPECT_NE(r.message.find("\"Duration\" was not stored: another program"), std::string::npos)
            << r.message;
        EXPECT_TRUE(CFPreferencesAppSynchronize(kApp)) << "said once";
    };
    CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanTrue, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    {
        vantrel::fault::Scope scope;
        vantrel::fault::fail_nth("CFPreferencesAppSynchronize.rename", 1, ioErr);
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
        CFPreferencesSetAppValue(CFSTR("Copyright"), kCFBooleanFalse, kApp);
        ASSERT_FALSE(CFPreferencesAppSynchronize(kApp));
    }
    pid_t pid = fork();
    if (pid == 0) {
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanTrue, kApp);
        _exit(CFPreferencesAppSynchronize(kApp) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Duration"), kApp), kCFBooleanTrue);
    CFPreferencesSetAppValue(CFSTR("Sound Name"), kCFBooleanFalse, kApp);
    reports_only_the_drop("another value");
    std::string xml = read_file(home.file());
    EXPECT_NE(xml.find("<key>Duration</key>\n\t<true/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<key>Copyright</key>\n\t<false/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<key>Sound Name</key>\n\t<false/>"), std::string::npos) << xml;

    // The same when this process writes before it reads again.
    {
        vantrel::fault::Scope scope;
        vantrel::fault::fail_nth("CFPreferencesAppSynchronize.rename", 1, ioErr);
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
        ASSERT_FALSE(CFPreferencesAppSynchronize(kApp));
    }
    pid = fork();
    if (pid == 0) {
        CFPreferencesSetAppValue(CFSTR("Duration"), nullptr, kApp);
        _exit(CFPreferencesAppSynchronize(kApp) ? 0 : 1);
    }
    waitpid(pid, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    CFPreferencesSetAppValue(CFSTR("URL"), kCFBooleanFalse, kApp);
    reports_only_the_drop("removed");
    EXPECT_EQ(read_file(home.file()).find("<key>Duration</key>"), std::string::npos);
    EXPECT_NE(read_file(home.file()).find("<key>URL</key>\n\t<false/>"), std::string::npos);
}

// A program that keeps the domain's lock (hung, stopped, or holding it on
// purpose) makes synchronising fail after a bounded wait, with a line that
// says so, rather than hang the caller; the file is left as it was and the
// change is written once the lock is free. The wait is the real one, ten
// seconds (the other tests of a kept lock shorten it).
TEST(Preferences, ALockHeldByAnotherProgramFailsTheWriteInsteadOfHanging) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);
    int held = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    std::string msg = in_child(40, []() -> std::string {
        auto start = std::chrono::steady_clock::now();
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
        if (CFPreferencesAppSynchronize(kApp)) return "synchronise reported success";
        auto r = vantrel::prefs::last_synchronize();
        if (r.message.find("is locked by another program, which has held it for 10 seconds") ==
            std::string::npos)
            return "said: " + r.message;
        const auto waited = std::chrono::steady_clock::now() - start;
        if (waited > std::chrono::seconds(30)) return "waited more than 30 s";
        if (waited < std::chrono::milliseconds(9900)) return "waited less than 10 s";
        // Pending until the lock is free (this child has its own copy of the
        // parent's descriptor: closing it here does not free the lock).
        return CFPreferencesCopyAppValue(CFSTR("Duration"), kApp) == kCFBooleanFalse
                   ? ""
                   : "the change was not kept";
    });
    EXPECT_EQ(msg, "");
    EXPECT_EQ(read_file(home.file()), kAllTypes);
    ::close(held);
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));
}

// --- Files other programs write -------------------------------------------------------

struct OtherReaderCase {
    const char* name;
    std::string bytes;  // the domain file: URL is false in it
    bool readable;      // what python's plistlib (expat) says of it
};
void PrintTo(const OtherReaderCase& c, std::ostream* os) {
    *os << c.name;
}

class OtherReaders : public ::testing::TestWithParam<OtherReaderCase> {};

// A file is readable here exactly when other readers (python's plistlib)
// read it: valid XML that other programs write is read, and what they refuse
// is unparseable (kept aside at the next write). Either way, what a write
// leaves is a file plistlib reads.
TEST_P(OtherReaders, ReadWhatTheyReadAndWriteWhatTheyRead) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", GetParam().bytes);
    bool have_python = std::system("python3 -c 'import plistlib' 2>/dev/null") == 0;
    if (have_python) {
        EXPECT_EQ(python_reads(home.file()), GetParam().readable) << "the row is wrong";
    }
    CFTypeRef v = CFPreferencesCopyAppValue(CFSTR("URL"), kApp);
    EXPECT_EQ(v, GetParam().readable ? kCFBooleanFalse : nullptr);
    CFRelease(v);
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp)) << vantrel::prefs::last_synchronize().message;
    EXPECT_EQ(fs::exists(home.dir / "com.ashgrove.Vantrel.plist.corrupt"), !GetParam().readable);
    if (have_python) {
        EXPECT_TRUE(python_reads(home.file())) << read_file(home.file());
    }
    v = CFPreferencesCopyAppValue(CFSTR("URL"), kApp);
    EXPECT_EQ(v, GetParam().readable ? kCFBooleanFalse : nullptr);
    CFRelease(v);
}

const std::string kUrlOff = "<dict><key>URL</key><false/></dict>";

INSTANTIATE_TEST_SUITE_P(
    Files, OtherReaders,
    ::testing::Values(
        OtherReaderCase{"DoctypeSubsetCommentWithAQuote",
                        "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [ <!-- it's ours --> ]>\n"
                        "<plist version=\"1.0\">" +
                            kUrlOff + "</plist>\n",
                        true},
        OtherReaderCase{"DoctypeSubsetCommentWithABracket",
                        "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [ <!-- a ] here --> "
                        "<!ELEMENT plist ANY> ]>\n<plist version=\"1.0\">" +
                            kUrlOff + "</plist>\n",
                        true},
        OtherReaderCase{"DoctypeSubsetDeclarationWithQuotes",
                        "<?xml version=\"1.0\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
                        "1.0//EN\" \"x.dtd\" [ <!ATTLIST plist version CDATA \"1'0]\"> <?pi ']?> ]>"
                        "\n<plist version=\"1.0\">" +
                            kUrlOff + "</plist>\n",
                        true},
        OtherReaderCase{"TextBetweenElements",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">stray <dict> text "
                        "<key>URL</key> more &amp; <false/> tail </dict> after </plist>\n",
                        true},
        OtherReaderCase{
            "TextBeforeTheRoot",
            "<?xml version=\"1.0\"?>\nstray<plist version=\"1.0\">" + kUrlOff + "</plist>\n",
            false},
        OtherReaderCase{
            "TextAfterTheRoot",
            "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">" + kUrlOff + "</plist>after\n",
            false},
        OtherReaderCase{"ALatin1ByteInAUtf8File",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>Title</key><string>caf\xE9</string></dict></plist>\n",
                        false},
        OtherReaderCase{"AnOverlongUtf8Sequence",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>Title</key><string>\xC0\xAF</string></dict></plist>\n",
                        false},
        // Characters XML cannot hold, which the writer refuses too: as
        // bytes, and as character references.
        OtherReaderCase{"AControlCharacter",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>Title</key><string>a\x01"
                        "b</string></dict></plist>\n",
                        false},
        OtherReaderCase{"AControlCharacterInAKey",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>T\x1b[2J</key><true/></dict></plist>\n",
                        false},
        OtherReaderCase{"UPlusFFFE",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>Title</key><string>a\xEF\xBF\xBE"
                        "b</string></dict></plist>\n",
                        false},
        OtherReaderCase{"AReferenceToAControlCharacter",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>Title</key><string>a&#1;b</string></dict></plist>\n",
                        false},
        OtherReaderCase{"AReferenceToUPlusFFFF",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>Title</key><string>a&#xFFFF;b</string></dict></plist>\n",
                        false},
        // What XML forbids, inside an entry (which a write keeps as it is)
        // or around it.
        OtherReaderCase{"CdataEndInAString",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>Title</key><string>a ]]> b</string></dict></plist>\n",
                        false},
        OtherReaderCase{"CdataEndBetweenElements",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>A</key><array> ]]> </array></dict></plist>\n",
                        false},
        OtherReaderCase{"ADoubleDashInAComment",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>Title</key><string>a<!-- x -- y -->b</string></dict>"
                        "</plist>\n",
                        false},
        OtherReaderCase{"ACommentEndingInADash",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>A</key><array><!-- x ---><true/></array></dict></plist>\n",
                        false},
        OtherReaderCase{"AnXmlDeclarationInsideAValue",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>A</key><array><?xml version='1.0'?><true/></array></dict>"
                        "</plist>\n",
                        false},
        OtherReaderCase{
            "AnXmlDeclarationAfterALineEnd",
            "\n<?xml version=\"1.0\"?>\n<plist version=\"1.0\">" + kUrlOff + "</plist>\n", false},
        OtherReaderCase{"AnAttributeGivenTwice",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>A</key><array a='1' a='2'><true/></array></dict></plist>\n",
                        false},
        OtherReaderCase{"AttributesNotSeparated",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>A</key><array a='1'b='2'><true/></array></dict></plist>\n",
                        false},
        OtherReaderCase{"ALessThanInAnAttribute",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>A</key><array a='1<2'><true/></array></dict></plist>\n",
                        false},
        OtherReaderCase{"ASecondDoctype",
                        "<?xml version=\"1.0\"?>\n<!DOCTYPE plist>\n<!DOCTYPE plist>\n"
                        "<plist version=\"1.0\">" +
                            kUrlOff + "</plist>\n",
                        false},
        OtherReaderCase{"CdataBetweenElements",
                        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><![CDATA[x]]>"
                        "<key>URL</key><false/><key>A</key><array><![CDATA[ <y> ]]><true/></array>"
                        "</dict></plist>\n",
                        true},
        OtherReaderCase{"TabsAndLineEndsAsCharactersAndReferences",
                        "<?xml version=\"1.0\"?>\r\n<plist version=\"1.0\"><dict><key>URL</key>"
                        "<false/><key>Title</key><string>a\tb\r\nc&#9;&#10;&#13;&#xFFFD;"
                        "</string></dict></plist>\n",
                        true}),
    [](const auto& info) { return std::string(info.param.name); });

struct InPlaceWriterCase {
    const char* name;
    const char* program;  // must be installed
    const char* loop;     // shell: rewrites $FILE in place from $SRC until killed
};
void PrintTo(const InPlaceWriterCase& c, std::ostream* os) {
    *os << c.name;
}

class InPlaceWriter : public ::testing::TestWithParam<InPlaceWriterCase> {};

// Another program rewrites the domain file in place, again and again, with
// 42 keys of its own (plistutil -o, plistlib.dump to an open file: both
// truncate it, then write). Clicks meanwhile never take a half-written file
// for a corrupt one: nothing is set aside, no click leaves a file with fewer
// than the other program's keys, and once it stops the next click adds its
// key to all 42. (A click may still lose to the other program's next write,
// which knows nothing of it: that is the other program's choice.)
TEST_P(InPlaceWriter, ClicksNeverResetTheSettings) {
    std::string have = std::string("command -v ") + GetParam().program + " >/dev/null 2>&1";
    if (std::system(have.c_str()) != 0) GTEST_SKIP() << GetParam().program << " is not installed";
    PrefsHome home;
    std::string xml = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>";
    for (int i = 0; i < 42; ++i)
        xml += "<key>Other " + std::to_string(i) + "</key><string>" + std::string(200, 'v') +
               "</string>";
    xml += "</dict></plist>\n";
    fs::path src = home.dir.write("source.xml", xml);
    home.dir.write("com.ashgrove.Vantrel.plist", xml);
    pid_t writer = fork();
    if (pid_t(0) == writer) {
        ::setenv("FILE", home.file().c_str(), 1);
        ::setenv("SRC", src.c_str(), 1);
        ::setenv("STOP", (home.dir / "stop").c_str(), 1);
        ::execl("/bin/sh", "sh", "-c", GetParam().loop, static_cast<char*>(nullptr));
        _exit(127);
    }
    // The file as it stands, or "" when it is changing: two reads in a row
    // (one system call each) must agree, since another program's write can
    // cut into a read (libplist would read a cut file, too).
    auto snapshot = [&]() -> std::string {
        std::string a(1 << 16, '\0'), b(1 << 16, '\0');
        int fd = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
        ssize_t na = fd >= 0 ? ::pread(fd, a.data(), a.size(), 0) : -1;
        ssize_t nb = fd >= 0 ? ::pread(fd, b.data(), b.size(), 0) : -1;
        if (fd >= 0) ::close(fd);
        if (na <= 0 || na != nb) return "";
        a.resize(static_cast<std::size_t>(na));
        b.resize(static_cast<std::size_t>(nb));
        return a == b ? a : "";
    };
    auto keys = [&]() -> long {
        std::string text = snapshot();
        if (text.size() < 9 || text.compare(text.size() - 9, 9, "</plist>\n") != 0) return -1;
        plist_t p = nullptr;
        plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &p);
        if (p == nullptr) return -1;
        long n = static_cast<long>(plist_dict_get_size(p));
        plist_free(p);
        return n;
    };
    int saved = 0;
    for (int i = 0; i < 60; ++i) {
        CFPreferencesSetAppValue(CFSTR("Duration"), i % 2 ? kCFBooleanTrue : kCFBooleanFalse, kApp);
        if (CFPreferencesAppSynchronize(kApp)) ++saved;
        long n = keys();
        EXPECT_TRUE(n == -1 || n >= 42) << "click " << i << " left " << n << " keys";
        EXPECT_TRUE(vantrel::prefs::last_synchronize().set_aside.empty()) << "click " << i;
    }
    home.dir.write("stop", "");  // it ends after a whole write, as a program would
    ::waitpid(writer, nullptr, 0);
    fs::remove(home.dir / "stop");
    EXPECT_GT(saved, 0);
    std::error_code ec;
    for (auto& e : fs::directory_iterator(home.dir.path(), ec))
        EXPECT_EQ(e.path().string().find(".corrupt"), std::string::npos) << e.path();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the last write settles
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp)) << vantrel::prefs::last_synchronize().message;
    EXPECT_EQ(keys(), 43);
}

INSTANTIATE_TEST_SUITE_P(
    Writers, InPlaceWriter,
    ::testing::Values(
        InPlaceWriterCase{"PlistlibDumpToAnOpenFile", "python3",
                          "exec python3 -c 'import os,plistlib,time\n"
                          "d=plistlib.load(open(os.environ[\"SRC\"],\"rb\"))\n"
                          "while not os.path.exists(os.environ[\"STOP\"]):\n"
                          "    with open(os.environ[\"FILE\"],\"wb\") as f: plistlib.dump(d,f)\n"
                          "    time.sleep(0.005)'"},
        InPlaceWriterCase{"PlistutilOutput", "plistutil",
                          "while [ ! -e \"$STOP\" ]; do plistutil -i \"$SRC\" -f xml -o "
                          "\"$FILE\"; done"}),
    [](const auto& info) { return std::string(info.param.name); });

// Another program empties the domain file in place (plistutil -o truncates,
// then writes) just after the store looked at it and just before it reads
// it, when the store's last look found it as last believed. The empty file
// is another program's write in progress, not a domain without keys: a read
// waits for it and gives the other program's values, and a click adds its
// key to them. The fault seam's hook empties the file at that very moment;
// the store's wait hook plays the other program's write. (The file is dated
// in the future so that the store reads it again at each look.)
TEST(Preferences, AFileEmptiedJustBeforeItIsReadIsWaitedFor) {
    struct Row {
        const char* name;
        const char* step;  // the step at which the file is emptied
        bool click;
    };
    for (const Row& row : {Row{"a read", "CFPreferencesCopyAppValue.read", false},
                           Row{"a click", "CFPreferencesAppSynchronize.read", true}}) {
        SCOPED_TRACE(row.name);
        PrefsHome home;
        std::string xml = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>";
        for (int i = 0; i < 42; ++i)
            xml += "<key>Other " + std::to_string(i) + "</key><string>v</string>";
        xml += "</dict></plist>\n";
        home.dir.write("com.ashgrove.Vantrel.plist", xml);
        timespec times[2];
        ::clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec += 3600;
        times[1] = times[0];
        ASSERT_EQ(::utimensat(AT_FDCWD, home.file().c_str(), times, 0), 0);
        CFTypeRef first = CFPreferencesCopyAppValue(CFSTR("Other 7"), kApp);
        ASSERT_NE(first, nullptr);
        CFRelease(first);

        vantrel::fault::Scope scope;
        bool emptied = false, rewritten = false;
        vantrel::fault::set_hook([&](const vantrel::fault::Call& c) {
            if (c.op != row.step || emptied) return;
            emptied = true;
            ASSERT_EQ(::truncate(home.file().c_str(), 0), 0);
        });
        vantrel::prefs::set_wait_hook([&](const std::string& waitingFor) {
            if (emptied && !rewritten && waitingFor.find("being written") != std::string::npos) {
                rewritten = true;
                int fd = ::open(home.file().c_str(), O_WRONLY | O_CLOEXEC);
                EXPECT_EQ(::pwrite(fd, xml.data(), xml.size(), 0),
                          static_cast<ssize_t>(xml.size()));
                ::close(fd);
            }
            return true;
        });
        if (row.click) {
            CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
            EXPECT_TRUE(CFPreferencesAppSynchronize(kApp))
                << vantrel::prefs::last_synchronize().message;
            plist_t p = parse_file(home.file());
            ASSERT_NE(p, nullptr) << read_file(home.file());
            EXPECT_EQ(plist_dict_get_size(p), 43u) << read_file(home.file());
            plist_free(p);
            EXPECT_TRUE(vantrel::prefs::last_synchronize().set_aside.empty());
        } else {
            CFTypeRef v = CFPreferencesCopyAppValue(CFSTR("Other 7"), kApp);
            EXPECT_NE(v, nullptr) << "the emptied file was taken for a domain without keys";
            if (v) CFRelease(v);
        }
        vantrel::prefs::set_wait_hook({});
        EXPECT_TRUE(emptied);
        EXPECT_TRUE(rewritten) << "the store did not wait for the other program's write";
    }
}

// Another program emptied the domain file to write it in place, and stalls
// (a loaded machine) for longer than the file takes to settle. While the
// program holds the file open for
// writing, an empty or half-written file is its write in progress, not a
// domain without keys nor a corrupt one: a click waits for it, keeps
// nothing aside, and adds its key to the other program's. The test holds
// the file open itself; the store's wait hook finishes its write.
TEST(Preferences, AFileAnotherProgramHoldsOpenForWritingIsWaitedFor) {
    struct Row {
        const char* name;
        std::size_t written;  // bytes of the file written before the stall
    };
    std::string xml = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>";
    for (int i = 0; i < 42; ++i)
        xml += "<key>Other " + std::to_string(i) + "</key><string>v</string>";
    xml += "</dict></plist>\n";
    for (const Row& row : {Row{"emptied", 0}, Row{"half written", xml.size() / 2}}) {
        SCOPED_TRACE(row.name);
        PrefsHome home;
        home.dir.write("com.ashgrove.Vantrel.plist", xml);
        int fd = ::open(home.file().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, xml.data(), row.written), static_cast<ssize_t>(row.written));
        // The other program finishes its write once the store has watched
        // the file stay as it is for longer than it takes to settle.
        bool finished = false;
        std::optional<std::chrono::steady_clock::time_point> firstWait;
        vantrel::prefs::set_wait_hook([&](const std::string& waitingFor) {
            if (finished || waitingFor.find("being written") == std::string::npos) return true;
            auto now = std::chrono::steady_clock::now();
            if (!firstWait) firstWait = now;
            if (now - *firstWait >= std::chrono::milliseconds(700)) {
                finished = true;
                EXPECT_EQ(::pwrite(fd, xml.data(), xml.size(), 0),
                          static_cast<ssize_t>(xml.size()));
                ::close(fd);
            }
            return true;
        });
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
        EXPECT_TRUE(CFPreferencesAppSynchronize(kApp))
            << vantrel::prefs::last_synchronize().message;
        vantrel::prefs::set_wait_hook({});
        if (!finished) ::close(fd);
        EXPECT_TRUE(finished) << "the store did not wait for the other program's write";
        plist_t p = parse_file(home.file());
        ASSERT_NE(p, nullptr) << read_file(home.file());
        EXPECT_EQ(plist_dict_get_size(p), 43u) << read_file(home.file());
        plist_free(p);
        EXPECT_TRUE(vantrel::prefs::last_synchronize().set_aside.empty());
        EXPECT_FALSE(fs::exists(home.dir / "com.ashgrove.Vantrel.plist.corrupt"));
    }
}

// Just after a read gave up waiting for a file that kept changing, the reads
// that follow do not wait; one that finds the file emptied by another
// program's in-place write must not believe it. A click recorded then knows
// nothing of the key's value, so the value the other program then writes
// is not taken for one that overtook the click: the click is saved, beside
// the other program's keys.
TEST(Preferences, AReadThatDoesNotWaitDoesNotBelieveAnEmptiedFile) {
    PrefsHome home;
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>Duration</key><true/>"
        "<key>Other</key><string>v</string></dict></plist>\n";
    home.dir.write("com.ashgrove.Vantrel.plist", "<plist><dict>");
    int writes = 0;
    vantrel::prefs::set_wait_hook([&](const std::string&) {
        home.dir.write("com.ashgrove.Vantrel.plist", "<plist><dict>" + std::to_string(++writes));
        return true;
    });
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Duration"), kApp), nullptr);  // gives up
    vantrel::prefs::set_wait_hook({});
    EXPECT_GT(writes, 20);
    ASSERT_EQ(::truncate(home.file().c_str(), 0), 0);
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    home.dir.write("com.ashgrove.Vantrel.plist", xml);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp)) << vantrel::prefs::last_synchronize().message;
    std::string now = read_file(home.file());
    EXPECT_NE(now.find("<key>Duration</key>\n\t<false/>"), std::string::npos) << now;
    EXPECT_NE(now.find("<key>Other</key>"), std::string::npos) << now;
}

// A file that is empty or does not parse, dated in the future (the clock was
// put back since it was written: a machine without a clock battery before
// its first time sync; a file copied with its times from another machine),
// is not being written by anyone: it is believed once it has held still,
// as one dated in the past is. The settings are read as they are, and a
// click is saved (keeping an unreadable file aside), with no long wait.
TEST(Preferences, AFileDatedInTheFutureIsBelievedOnceItHoldsStill) {
    struct Row {
        const char* name;
        std::string bytes;
        bool kept_aside;
    };
    for (const Row& row : {Row{"empty", "", false},
                           Row{"unparseable", "<plist><dict><key>URL</key><false/>", true}}) {
        SCOPED_TRACE(row.name);
        PrefsHome home;
        home.dir.write("com.ashgrove.Vantrel.plist", row.bytes);
        timespec times[2];
        ::clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec += 3600;
        times[1] = times[0];
        ASSERT_EQ(::utimensat(AT_FDCWD, home.file().c_str(), times, 0), 0);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("URL"), kApp), nullptr);
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
        EXPECT_TRUE(CFPreferencesAppSynchronize(kApp))
            << vantrel::prefs::last_synchronize().message;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1800));
        EXPECT_EQ(fs::exists(home.dir / "com.ashgrove.Vantrel.plist.corrupt"), row.kept_aside);
        EXPECT_EQ(
            read_file(home.file()).find("<key>Duration</key>\n\t<false/>") != std::string::npos,
            true)
            << read_file(home.file());
    }
}

// --- Owners -------------------------------------------------------------------------

constexpr uid_t kNobody = 65534;

struct Owner {
    uid_t uid;
    gid_t gid;
    mode_t mode;
};
Owner owner_of(const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return {st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777)};
}

// Root writing into another user's domain (sudo -E) leaves the file, and
// anything it creates there, to that user.
TEST(PreferencesOwner, RootKeepsTheUsersOwnershipOfTheirFiles) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own files as another user";
    PrefsHome home;
    ASSERT_EQ(::chown(home.dir.path().c_str(), kNobody, kNobody), 0);
    home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);
    ASSERT_EQ(::chown(home.file().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(home.file().c_str(), 0640), 0);
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    Owner o = owner_of(home.file());
    EXPECT_EQ(o.uid, kNobody);
    EXPECT_EQ(o.gid, kNobody);
    EXPECT_EQ(o.mode, 0640u);

    // A first write, in a configuration directory that does not exist yet.
    fs::path xdg = home.dir / "fresh/config";
    ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_EQ(owner_of(xdg / "com.ashgrove.Vantrel.plist").uid, kNobody);
    EXPECT_EQ(owner_of(xdg).uid, kNobody);
    EXPECT_EQ(owner_of(home.dir / "fresh").uid, kNobody);
}

// A file its user made read-only (chmod a-w, a common way to freeze
// settings) is not replaced through the writable directory: the write fails
// and says so. Root, who may write any file, still can.
TEST(PreferencesOwner, AReadOnlyFileIsNotReplacedByItsUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody";
    PrefsHome home;
    ASSERT_EQ(::chown(home.dir.path().c_str(), kNobody, kNobody), 0);
    home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);
    ASSERT_EQ(::chown(home.file().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(home.file().c_str(), 0444), 0);
    std::string msg = in_child(20, []() -> std::string {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            return "cannot become nobody";
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
        if (CFPreferencesAppSynchronize(kApp)) return "synchronise reported success";
        std::string said = vantrel::prefs::last_synchronize().message;
        return said.find("read-only") == std::string::npos ? "said: " + said : "";
    });
    EXPECT_EQ(msg, "");
    EXPECT_EQ(read_file(home.file()), kAllTypes);
    EXPECT_EQ(owner_of(home.file()).mode, 0444u);
    EXPECT_EQ(stray_files(home.dir.path(), {"com.ashgrove.Vantrel.plist"}),
              std::set<std::string>{});

    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));  // root
    EXPECT_EQ(owner_of(home.file()).uid, kNobody);
}

// The access list and the extended attributes of the file replaced stay
// with the settings: a second account given read access with an ACL keeps
// it, and attributes other programs put on the file (a tag, a comment) are
// not lost at each click.
TEST(PreferencesOwner, AccessListAndExtendedAttributesAreKept) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);
    ASSERT_EQ(::chmod(home.file().c_str(), 0640), 0);
    // user::rw- user:65534:r-- group::r-- mask::r-- other::---
    std::string acl;
    auto entry = [&](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
        for (int i = 0; i < 2; ++i) acl += static_cast<char>((tag >> (8 * i)) & 0xFF);
        for (int i = 0; i < 2; ++i) acl += static_cast<char>((perm >> (8 * i)) & 0xFF);
        for (int i = 0; i < 4; ++i) acl += static_cast<char>((id >> (8 * i)) & 0xFF);
    };
    acl = std::string("\x02\0\0\0", 4);
    entry(0x01, 6, 0xFFFFFFFF);
    entry(0x02, 4, kNobody);
    entry(0x04, 4, 0xFFFFFFFF);
    entry(0x10, 4, 0xFFFFFFFF);
    entry(0x20, 0, 0xFFFFFFFF);
    if (::setxattr(home.file().c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "no access lists here: " << std::strerror(errno);
    if (::setxattr(home.file().c_str(), "user.xdg.tags", "work", 4, 0) != 0)
        GTEST_SKIP() << "no user attributes here: " << std::strerror(errno);
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp)) << vantrel::prefs::last_synchronize().message;
    ASSERT_NE(read_file(home.file()).find("Duration"), std::string::npos);
    char buf[256];
    ssize_t n = ::getxattr(home.file().c_str(), "system.posix_acl_access", buf, sizeof buf);
    EXPECT_EQ(n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "", acl);
    n = ::getxattr(home.file().c_str(), "user.xdg.tags", buf, sizeof buf);
    EXPECT_EQ(n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "", "work");
    EXPECT_EQ(owner_of(home.file()).mode, 0640u);
}

// A user who may write another user's file, but cannot give the replacement
// its owner, writes nothing.
TEST(PreferencesOwner, AWriteThatCannotKeepTheOwnerFails) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody";
    PrefsHome home;
    ASSERT_EQ(::chmod(home.dir.path().c_str(), 0777), 0);
    home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);
    ASSERT_EQ(::chmod(home.file().c_str(), 0666), 0);
    std::string msg = in_child(20, []() -> std::string {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            return "cannot become nobody";
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
        if (CFPreferencesAppSynchronize(kApp)) return "synchronise reported success";
        return "";
    });
    EXPECT_EQ(msg, "");
    Owner o = owner_of(home.file());
    EXPECT_EQ(o.uid, 0u);
    EXPECT_EQ(read_file(home.file()), kAllTypes);
    EXPECT_EQ(stray_files(home.dir.path(), {"com.ashgrove.Vantrel.plist"}),
              std::set<std::string>{});
}

}  // namespace
