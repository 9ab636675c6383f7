// fmutil convert --names on real trees: each name takes the normal form
// asked for with its fork and metadata, a name that cannot (taken in its
// folder, too long, not UTF-8) is left as it was and named, and a dry run
// says the same and changes nothing.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DirNames.h"
#include "Sidecar.h"
#include "Snapshot.h"
#include "TempDir.h"
#include "fmutil_run.h"

namespace fs = std::filesystem;
using fmtest::run;
using testing::HasSubstr;
using testing::Not;

namespace {

std::set<std::string> entries(const fs::path& dir) {
    return vtest::names_on_disk(dir);
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

const std::string kCafeD = "cafe\xcc\x81", kCafeC = "caf\xc3\xa9";
const std::string kNaiveD = "nai\xcc\x88ve", kNaiveC = "na\xc3\xafve";
const std::string kOhmD = "\xe2\x84\xa6-e\xcc\x81", kOhmC = "\xe2\x84\xa6-\xc3\xa9";
// Two spellings of one name, neither composed: both compose to U+1EB9 U+0301.
const std::string kTwoA = "e\xcc\x81\xcc\xa3", kTwoB = "e\xcc\xa3\xcc\x81";
const std::string kTwoC = "\xe1\xba\xb9\xcc\x81";
const std::string kLatin1 = "r\xe9sum\xe9";

// A tree as an AFP server leaves it: decomposed names, a fork in a sidecar,
// a folder and a file below it both decomposed, a name whose composed form
// is another file's, two names that compose to one, a compatibility
// character, a name that is not UTF-8.
void make_tree(const fs::path& d) {
    vtest::write_file(d / kCafeD, "coffee");
    vtest::write_sidecar(d / kCafeD, "the fork of cafe");
    ASSERT_EQ(run({"type", d / kCafeD, "--type", "TEXT", "--creator", "ttxt"}).status, 0);
    fs::create_directory(d / ("Dossier-" + kCafeD));
    vtest::write_file(d / ("Dossier-" + kCafeD) / ("fichier-" + kCafeD), "inside");
    vtest::write_sidecar(d / ("Dossier-" + kCafeD) / ("fichier-" + kCafeD), "inner fork");
    vtest::write_file(d / kNaiveD, "decomposed");
    vtest::write_file(d / kNaiveC, "composed");
    fs::create_directory(d / "two");
    vtest::write_file(d / "two" / kTwoA, "a");
    vtest::write_file(d / "two" / kTwoB, "b");
    vtest::write_file(d / kOhmD, "ohm");
    vtest::write_file(d / kLatin1, "latin-1");
    vtest::write_file(d / "plain", "ascii");
}

}  // namespace

TEST(FmutilConvertNames, EachNameTakesTheFormWithItsForkOrIsLeftAndNamed) {
    vtest::TempDir t("fmnames");
    const fs::path d = t.path() / "tree";
    fs::create_directory(d);
    make_tree(d);
    if (::testing::Test::HasFatalFailure()) return;
    const std::string dir = d.string() + "/";

    // A dry run: every rename and every refusal the run would make, and
    // nothing changed.
    const vtest::Snapshot before = vtest::snapshot(t.path());
    auto r = run({"convert", "--names", "nfc", "-n", "-v", d});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.out, HasSubstr("would rename " + dir + kCafeD + " to " + dir + kCafeC + "\n"));
    EXPECT_THAT(r.out, HasSubstr("would rename " + dir + kOhmD + " to " + dir + kOhmC + "\n"));
    EXPECT_THAT(r.err, HasSubstr(dir + kNaiveD + ": dupFNErr (-48): not renamed: " + dir + kNaiveC +
                                 " is there already (the same name in NFC)"));
    // Of the two spellings that compose to one name, the first is said, the
    // second refused, naming the first.
    EXPECT_EQ(count(r.out, "would rename " + dir + "two/"), 1) << r.out;
    EXPECT_THAT(r.err, HasSubstr(" would take the same name, " + dir + "two/" + kTwoC + "\n"));
    EXPECT_THAT(r.err, HasSubstr(": bdNamErr (-37): not UTF-8, so in no normal form"));
    EXPECT_THAT(r.out, HasSubstr("5 of 12 names would be renamed to NFC; 3 failed\n"));
    EXPECT_EQ(vtest::diff(before, vtest::snapshot(t.path())), "");

    r = run({"convert", "--names", "nfc", "-v", d});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.out, HasSubstr("5 of 12 names renamed to NFC; 3 failed\n"));
    EXPECT_EQ(entries(d),
              (std::set<std::string>{kCafeC, "._" + kCafeC, "Dossier-" + kCafeC, kNaiveD, kNaiveC,
                                     "two", kOhmC, kLatin1, "plain"}));
    EXPECT_EQ(entries(d / ("Dossier-" + kCafeC)),
              (std::set<std::string>{"fichier-" + kCafeC, "._fichier-" + kCafeC}));
    // One of the two spellings has the composed name; the other is left,
    // in one message that names it and the one in its way (which, in the
    // directory's order, is either the other spelling or its new name).
    const auto two = entries(d / "two");
    EXPECT_EQ(two.size(), 2u);
    EXPECT_EQ(two.count(kTwoC), 1u);
    EXPECT_EQ(count(r.err, "fmutil: " + dir + "two/"), 1) << r.err;
    EXPECT_EQ(count(r.err, dir + "two/"), 2) << r.err;
    EXPECT_THAT(r.err, testing::ContainsRegex("/two/[^:]*: dupFNErr \\(-48\\): not renamed: "));
    // The fork, the type and the data went with their names.
    EXPECT_EQ(run({"rsrc", d / kCafeC}).out, "the fork of cafe");
    EXPECT_THAT(run({"info", d / kCafeC}).out, HasSubstr("creator     ttxt\n"));
    EXPECT_EQ(vtest::read_file(d / kCafeC), "coffee");
    EXPECT_EQ(run({"rsrc", d / ("Dossier-" + kCafeC) / ("fichier-" + kCafeC)}).out, "inner fork");
    EXPECT_EQ(vtest::read_file(d / kNaiveD), "decomposed");
    EXPECT_EQ(vtest::read_file(d / kNaiveC), "composed");

    // Run again, only what could not be done is left: the same three.
    r = run({"convert", "--names", "nfc", "--json", d});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, HasSubstr("\"renamed\":0"));
    EXPECT_THAT(r.out, HasSubstr("is there already (the same name in NFC)"));

    // And back: decomposed, but the composed name 254 bytes long would not fit.
    std::string longName;
    for (int i = 0; i < 127; ++i) longName += "\xc3\xa9";
    vtest::write_file(d / longName, "long");
    r = run({"convert", "--names", "nfd", "--json", d});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_THAT(r.out, HasSubstr("\"renamed_to\":\"" + dir + kCafeD + "\""));
    EXPECT_THAT(r.out, HasSubstr("in NFD its name would be longer than 255 bytes"));
    EXPECT_TRUE(fs::exists(d / longName));
    EXPECT_TRUE(fs::exists(d / ("Dossier-" + kCafeD) / ("fichier-" + kCafeD)));
    EXPECT_EQ(vtest::sidecar_fork(d / ("Dossier-" + kCafeD) / ("fichier-" + kCafeD)), "inner fork");
    EXPECT_TRUE(fs::exists(d / kOhmD)) << "the OHM SIGN stays itself";

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"convert", "--names", "nfkc", d},
          std::vector<std::string>{"convert", d}}) {
        r = run(bad);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_THAT(r.err, HasSubstr("nfc or nfd"));
    }
}

// With --to as well, each item's metadata moves and then its name changes;
// a file given as PATH is renamed itself.
TEST(FmutilConvertNames, WithALayoutBothChangeAndAFileGivenIsRenamed) {
    vtest::TempDir t("fmnames");
    const fs::path f = t.path() / kCafeD;
    vtest::write_file(f, "data");
    vtest::write_sidecar(f, "the fork");
    const auto r = run({"convert", "--to", "stream", "--names", "nfc", f});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 of 1 items converted to stream\n1 of 1 names renamed to NFC\n");
    EXPECT_EQ(entries(t.path()), std::set<std::string>{kCafeC});
    EXPECT_EQ(fmtest::run_program(FMUTIL_PATH, {"rsrc", (t.path() / kCafeC).string()}, false,
                                  {"VANTREL_MAC_LAYOUT=stream"})
                  .out,
              "the fork");
}

// Folders renamed by another program while the walk goes through them
// (each once, as a user would): the walk holds references, and walks again
// a tree that changed while it was read, so every name below still takes
// its form and no item is lost. A folder that moved between its listing
// and its reading may be reported (fnfErr), never silently passed over.
TEST(FmutilConvertNames, AFolderRenamedWhileItsItemsAreWalkedLosesNothing) {
    vtest::TempDir t("fmnames");
    const fs::path top = t.path() / "top";
    constexpr int kFolders = 20, kFiles = 50;
    for (int i = 0; i < kFolders; ++i) {
        const fs::path sub = top / ("sub" + std::to_string(i));
        fs::create_directories(sub);
        for (int k = 0; k < kFiles; ++k) vtest::write_file(sub / (std::to_string(k) + kCafeD), "x");
    }
    std::atomic<bool> stop{false};
    std::thread renamer([&] {
        for (int i = 0; i < kFolders && !stop; ++i) {
            std::error_code ec;
            fs::rename(top / ("sub" + std::to_string(i)), top / ("moved" + std::to_string(i)), ec);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto r = run({"convert", "--names", "nfc", top});
    stop = true;
    renamer.join();
    if (r.status != 0) {
        EXPECT_EQ(r.status, 1);
        std::string rest = r.err;
        for (std::size_t at; (at = rest.find(": fnfErr (-43)")) != std::string::npos;)
            rest.erase(rest.rfind("fmutil: ", at),
                       rest.find('\n', at) + 1 - rest.rfind("fmutil: ", at));
        EXPECT_EQ(rest, "") << "only folders moved away between listing and reading";
        // What was reported is done by the next run.
        EXPECT_EQ(run({"convert", "--names", "nfc", top}).status, 0);
    }
    int files = 0;
    for (const auto& e : fs::recursive_directory_iterator(top)) {
        if (e.is_directory()) continue;
        ++files;
        EXPECT_THAT(e.path().filename().string(), HasSubstr(kCafeC));
    }
    EXPECT_EQ(files, kFolders * kFiles);
}
