// The preferences store on disk: where and how a domain is written, what
// survives a write, what other processes see, and what a failure leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>

#include "prefs_support.h"
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
    CFPreferencesSetAppValue(CFSTR("not a plist value"), CFNotificationCenterGetDistributedCenter(),
                             kApp);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_FALSE(fs::exists(home.file()));
    EXPECT_TRUE(fs::is_empty(home.dir.path()));
    EXPECT_FALSE(fs::exists(home.dir.path().parent_path() / "escape.plist"));
}

// Each step of a synchronisation made to fail: the call reports failure, the
// old file is byte for byte what it was, no temporary file remains, and the
// recorded change is written by the next synchronisation.
class SynchronizeFault : public ::testing::TestWithParam<const char*> {};

TEST_P(SynchronizeFault, LeavesTheOldFileIntactAndRetriesLater) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", kAllTypes);
    {
        vantrel::fault::Scope scope;
        vantrel::fault::fail_nth(GetParam(), 1, ioErr);
        CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
        EXPECT_FALSE(CFPreferencesAppSynchronize(kApp));
        EXPECT_EQ(vantrel::fault::injected(), 1);
    }
    EXPECT_EQ(read_file(home.file()), kAllTypes);
    EXPECT_EQ(stray_files(home.dir.path(), {"com.ashgrove.Vantrel.plist"}),
              std::set<std::string>{});
    ASSERT_TRUE(CFPreferencesAppSynchronize(kApp));
    EXPECT_NE(read_file(home.file()).find("<key>Duration</key>"), std::string::npos);
}

TEST_P(SynchronizeFault, OnAFirstWriteLeavesNoFile) {
    PrefsHome home;
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth(GetParam(), 1, ioErr);
    CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kApp);
    EXPECT_FALSE(CFPreferencesAppSynchronize(kApp));
    EXPECT_TRUE(fs::is_empty(home.dir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SynchronizeFault,
    ::testing::Values("CFPreferencesAppSynchronize", "CFPreferencesAppSynchronize.open",
                      "CFPreferencesAppSynchronize.lock", "CFPreferencesAppSynchronize.create",
                      "CFPreferencesAppSynchronize.write", "CFPreferencesAppSynchronize.fsync",
                      "CFPreferencesAppSynchronize.rename"));

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
    vantrel::fault::fail_nth("CFPreferencesCopyAppValue.read", 1, ioErr);
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
                CFStringRef k = cfstr("w" + std::to_string(w) + "-" + std::to_string(i));
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
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; ++round) {
        pid_t pid = fork();
        if (pid == 0) {
            // Large values make each write take long enough to be interrupted.
            std::string big(64 * 1024, 'x');
            CFStringRef v = cfstr(big);
            for (long i = 0;; ++i) {
                CFStringRef k = cfstr("k" + std::to_string(i % 8));
                CFPreferencesSetAppValue(k, v, kApp);
                CFRelease(k);
                CFPreferencesAppSynchronize(kApp);
            }
        }
        usleep(std::uniform_int_distribution<int>(1000, 30000)(rng));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        if (!fs::exists(home.file())) continue;
        plist_t p = parse_file(home.file());
        ASSERT_NE(p, nullptr) << "torn file after round " << round;
        EXPECT_EQ(plist_get_node_type(p), PLIST_DICT);
        plist_free(p);
    }
    EXPECT_TRUE(fs::exists(home.file()));
}

}  // namespace
