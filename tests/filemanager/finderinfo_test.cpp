// Finder flags, type, creator and dates on real files: what lands in the
// AppleDouble metadata record, records written by other programs, the date
// bump with its notifications, and copying the settable information.
#include <sys/stat.h>

#include "finder_test_support.h"
#include "vantrel/fault.h"

namespace {

using namespace ftest;

constexpr OSType kTEXT = 0x54455854;  // 'TEXT'
constexpr OSType kTtxt = 0x74747874;  // 'ttxt'
constexpr OSType kAPPL = 0x4150504C;  // 'APPL'
constexpr OSType kR_ = 0x522A6368;    // 'R*ch'
// Seconds from 1904 to 2000, the epoch of the record's dates.
constexpr std::int64_t k1904To2000 = 3029529600;
// A fixed clock well inside the 32-bit range: 2020-01-01 00:00 UTC.
constexpr std::int64_t kClock = 3660681600;

// Holds the clock still at `seconds` since 1904, fraction 0.
void hold_clock(std::int64_t seconds) {
    vantrel::fault::set_override("GetUTCDateTime.seconds", seconds);
    vantrel::fault::set_override("GetUTCDateTime.fraction", 0);
}

class FinderInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = dir_.write("folder/file.txt", "hello");
        folder_ = dir_.path() / "folder";
        fileRef_ = ref_of(file_);
        folderRef_ = ref_of(folder_);
        topRef_ = ref_of(dir_.path());
    }
    FileInfo finder_info(const FSRef& ref) {
        FinderInfo fi{};
        EXPECT_EQ(noErr, FSGetFinderInfo(&ref, &fi, nullptr, nullptr));
        return fi.file;
    }
    UTCDateTime mod_date(const FSRef& ref) {
        FSCatalogInfo info{};
        EXPECT_EQ(noErr,
                  FSGetCatalogInfo(&ref, kFSCatInfoContentMod, &info, nullptr, nullptr, nullptr));
        return info.contentModDate;
    }
    void set_mod_date(const FSRef& ref, const UTCDateTime& d) {
        FSCatalogInfo info{};
        info.contentModDate = d;
        ASSERT_EQ(noErr, FSSetCatalogInfo(&ref, kFSCatInfoContentMod, &info));
    }

    vantrel::fault::Scope scope_;
    vtest::TempDir dir_{"finderinfo"};
    fs::path file_, folder_;
    FSRef fileRef_{}, folderRef_{}, topRef_{};
};

// ---------------------------------------------------------------- the record on disk

TEST_F(FinderInfoTest, WritesLandInTheMetadataRecordBigEndian) {
    ASSERT_EQ(noErr, FSChangeCreatorType(&fileRef_, kTtxt, kTEXT));
    ASSERT_EQ(noErr, FSSetIsStationery(&fileRef_));
    ASSERT_EQ(noErr, FSSetInvisible(&fileRef_));

    auto rec = get_xattr(file_, kMetadataAttr);
    ASSERT_TRUE(rec.has_value()) << "no metadata record was written";
    ASSERT_EQ(402u, rec->size());
    EXPECT_EQ(0x00051607u, get32(*rec, 0));
    EXPECT_EQ(0x00020000u, get32(*rec, 4));
    EXPECT_EQ(std::string(16, '\0'), rec->substr(8, 16));
    EXPECT_EQ(8, get16(*rec, 24));
    // The entries in the platform's order, at the platform's offsets.
    std::size_t off = 122;
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(standard_entries()[i].id, get32(*rec, 26 + 12 * i)) << "entry " << i;
        EXPECT_EQ(off, get32(*rec, 30 + 12 * i)) << "entry " << i;
        EXPECT_EQ(standard_entries()[i].length, get32(*rec, 34 + 12 * i)) << "entry " << i;
        off += standard_entries()[i].length;
    }
    EXPECT_EQ(kTEXT, get32(*rec, 122)) << "type, big-endian";
    EXPECT_EQ(kTtxt, get32(*rec, 126)) << "creator, big-endian";
    EXPECT_EQ(kIsInvisible | kIsStationery, get16(*rec, 130)) << "Finder flags, big-endian";

    // And what comes back is in the machine's order.
    FileInfo fi = finder_info(fileRef_);
    EXPECT_EQ(kTEXT, fi.fileType);
    EXPECT_EQ(kTtxt, fi.fileCreator);
    EXPECT_EQ(kIsInvisible | kIsStationery, fi.finderFlags);
}

// Big-endian Finder info as another program writes it: type, creator, flags,
// and in the extended half the extended flags (bytes 24-25 of the 32).
void fill_finder(RecordData& d, OSType type, OSType creator, UInt16 flags, UInt16 extFlags) {
    std::string b(32, '\0');
    put32(b, 0, type);
    put32(b, 4, creator);
    put16(b, 8, flags);
    put16(b, 10, 0x0012);  // icon location v
    put16(b, 12, 0x0034);  // icon location h
    put16(b, 24, extFlags);
    std::memcpy(d.finder, b.data(), 32);
}

struct RecordCase {
    const char* name;
    std::vector<Entry> order;
};

class ForeignRecord : public FinderInfoTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(ForeignRecord, IsReadCorrectlyAndKeptWhole) {
    RecordData d;
    fill_finder(d, kAPPL, kR_, kHasBundle | kHasCustomIcon, 0x0004);
    d.comment = "written elsewhere";
    d.dates[2] = 1000;  // backup date: 1000 s after 2000-01-01
    const std::string rec = build_record(d, GetParam().order);
    set_xattr(file_, kMetadataAttr, rec);

    FinderInfo fi{};
    ExtendedFinderInfo xi{};
    Boolean isDir = 7;
    ASSERT_EQ(noErr, FSGetFinderInfo(&fileRef_, &fi, &xi, &isDir));
    EXPECT_EQ(kAPPL, fi.file.fileType);
    EXPECT_EQ(kR_, fi.file.fileCreator);
    EXPECT_EQ(kHasBundle | kHasCustomIcon, fi.file.finderFlags);
    EXPECT_EQ(0x12, fi.file.location.v);
    EXPECT_EQ(0x34, fi.file.location.h);
    EXPECT_EQ(0x0004, xi.file.extendedFinderFlags);
    EXPECT_EQ(0, isDir);
    FSCatalogInfo info{};
    ASSERT_EQ(noErr,
              FSGetCatalogInfo(&fileRef_, kFSCatInfoBackupDate, &info, nullptr, nullptr, nullptr));
    EXPECT_EQ(k1904To2000 + 1000, seconds_of(info.backupDate)) << show(info.backupDate);
    EXPECT_EQ(rec, get_xattr(file_, kMetadataAttr)) << "reading must not rewrite the record";

    // A change through the utilities updates the Finder info wherever the
    // record keeps it, and keeps what it does not change (the comment).
    ASSERT_EQ(noErr, FSSetNameLocked(&fileRef_));
    auto after = get_xattr(file_, kMetadataAttr);
    ASSERT_TRUE(after.has_value());
    auto finder = find_entry(*after, 9);
    auto comment = find_entry(*after, 4);
    ASSERT_TRUE(finder && comment);
    ASSERT_LE(finder->first + 32, after->size());
    EXPECT_EQ(kAPPL, get32(*after, finder->first));
    EXPECT_EQ(kHasBundle | kHasCustomIcon | kNameLocked, get16(*after, finder->first + 8));
    EXPECT_EQ(0x0004, get16(*after, finder->first + 24)) << "extended flags kept";
    EXPECT_EQ(d.comment, after->substr(comment->first, d.comment.size())) << "comment kept";
}

INSTANTIATE_TEST_SUITE_P(Layouts, ForeignRecord,
                         ::testing::Values(RecordCase{"standard", standard_entries()},
                                           RecordCase{"reversed",
                                                      {standard_entries().rbegin(),
                                                       standard_entries().rend()}},
                                           RecordCase{"datesFirst",
                                                      {{8, 16},
                                                       {14, 4},
                                                       {4, 200},
                                                       {0x8053567E, 4},
                                                       {9, 32},
                                                       {0x80444556, 8},
                                                       {0x80494E4F, 8},
                                                       {0x8053594E, 8}}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FinderInfoTest, UnparsableRecordsReadAsAbsentAndAreNeverRewrittenByARead) {
    RecordData d;
    fill_finder(d, kAPPL, kR_, kIsInvisible, 0);
    std::string badMagic = build_record(d);
    put32(badMagic, 0, 0x00051600);
    const std::string truncated = build_record(d).substr(0, 140);  // cut inside the Finder info
    std::string badOffset = build_record(d);
    put32(badOffset, 30, 400);  // Finder info said to lie past the end
    std::string badCount = build_record(d);
    put16(badCount, 24, 60000);

    for (const std::string* rec :
         std::vector<const std::string*>{&badMagic, &truncated, &badOffset, &badCount}) {
        set_xattr(file_, kMetadataAttr, *rec);
        FinderInfo fi;
        std::memset(&fi, 0xEE, sizeof fi);
        ASSERT_EQ(noErr, FSGetFinderInfo(&fileRef_, &fi, nullptr, nullptr));
        EXPECT_EQ(0u, fi.file.fileType) << "a broken record has no Finder info";
        EXPECT_EQ(0u, fi.file.fileCreator);
        EXPECT_EQ(0, fi.file.finderFlags);
        FSCatalogInfo info;
        ASSERT_EQ(noErr, FSGetCatalogInfo(&fileRef_, kFSCatInfoGettableInfo, &info, nullptr,
                                          nullptr, nullptr));
        EXPECT_EQ(*rec, get_xattr(file_, kMetadataAttr))
            << "a read left the broken record as it was";
    }
}

// ---------------------------------------------------------------- FSBumpDate

TEST_F(FinderInfoTest, BumpWithAHeldClockStoresTheClockThenOneSecondLater) {
    hold_clock(kClock);
    vantrel::fault::set_override("GetUTCDateTime.fraction", 0x4000);
    set_mod_date(fileRef_, utc(kClock - 100));

    ASSERT_EQ(noErr, FSBumpDate(&fileRef_));
    EXPECT_TRUE(same_date(utc(kClock, 0x4000), mod_date(fileRef_))) << show(mod_date(fileRef_));
    // Same tick: the stored date equals the clock, so it moves one second on.
    ASSERT_EQ(noErr, FSBumpDate(&fileRef_));
    EXPECT_TRUE(same_date(utc(kClock + 1, 0x4000), mod_date(fileRef_))) << show(mod_date(fileRef_));
    // Still the same tick: now the stored date differs, and the clock's
    // (earlier) reading is written as read.
    ASSERT_EQ(noErr, FSBumpDate(&fileRef_));
    EXPECT_TRUE(same_date(utc(kClock, 0x4000), mod_date(fileRef_))) << show(mod_date(fileRef_));
    // The file's own mtime carries it, for every other program.
    struct stat st {};
    ASSERT_EQ(0, ::stat(file_.c_str(), &st));
    EXPECT_EQ(kClock - 2082844800, st.st_mtime);
}

TEST_F(FinderInfoTest, BumpCarriesIntoTheHighSeconds) {
    const std::int64_t edge = 0xFFFFFFFFLL;  // 2040-02-06: the last second of the low word
    vantrel::fault::set_override("GetUTCDateTime.seconds", edge);
    vantrel::fault::set_override("GetUTCDateTime.fraction", 0);
    set_mod_date(fileRef_, utc(edge));
    ASSERT_EQ(noErr, FSBumpDate(&fileRef_));
    const UTCDateTime d = mod_date(fileRef_);
    EXPECT_EQ(1, d.highSeconds) << show(d);
    EXPECT_EQ(0u, d.lowSeconds) << show(d);
}

TEST_F(FinderInfoTest, BumpNotifiesTheParentOfAFileAndAFolderItself) {
    hold_clock(kClock);
    NotifyLog folderLog(&folderRef_);
    NotifyLog topLog(&topRef_);

    ASSERT_EQ(noErr, FSBumpDate(&fileRef_));
    EXPECT_EQ(1, folderLog.count()) << "a file's bump tells its parent folder";
    EXPECT_EQ(UInt32{kFNDirectoryModifiedMessage}, folderLog.last());
    EXPECT_EQ(0, topLog.count());

    ASSERT_EQ(noErr, FSBumpDate(&folderRef_));
    EXPECT_EQ(2, folderLog.count()) << "a folder's bump tells the folder itself";
    EXPECT_EQ(0, topLog.count()) << "not the folder's parent";
    EXPECT_TRUE(same_date(utc(kClock), mod_date(folderRef_)));
}

// An injected write failure.
TEST_F(FinderInfoTest, BumpThatCannotWriteSucceedsSilently) {
    hold_clock(kClock);
    set_mod_date(fileRef_, utc(kClock - 50));
    NotifyLog any(nullptr);

    vantrel::fault::fail_nth("FSSetCatalogInfo", 1, vLckdErr);
    EXPECT_EQ(noErr, FSBumpDate(&fileRef_));
    EXPECT_EQ(1, vantrel::fault::injected());
    EXPECT_EQ(0, any.count()) << "nothing changed, so nobody is told";
    EXPECT_TRUE(same_date(utc(kClock - 50), mod_date(fileRef_)));
}

// A real one: the file is immutable.
TEST_F(FinderInfoTest, BumpOfALockedFileSucceedsSilently) {
    if (!vtest::can_set_immutable(dir_.path())) GTEST_SKIP() << vtest::kNeedsImmutable;
    hold_clock(kClock);
    set_mod_date(fileRef_, utc(kClock - 50));
    NotifyLog any(nullptr);

    ASSERT_TRUE(vtest::set_immutable(file_, true));
    EXPECT_EQ(noErr, FSBumpDate(&fileRef_));
    EXPECT_EQ(0, any.count());
    vtest::set_immutable(file_, false);
    EXPECT_TRUE(same_date(utc(kClock - 50), mod_date(fileRef_)));
}

TEST_F(FinderInfoTest, BumpReportsReadAndClockFailuresAndWritesNothing) {
    set_mod_date(fileRef_, utc(kClock - 50));
    vantrel::fault::fail_nth("GetUTCDateTime", 1, ioErr);
    EXPECT_EQ(ioErr, FSBumpDate(&fileRef_));
    EXPECT_TRUE(same_date(utc(kClock - 50), mod_date(fileRef_)));

    FSRef gone = ref_of(dir_.write("gone"));
    fs::remove(dir_.path() / "gone");
    EXPECT_EQ(fnfErr, FSBumpDate(&gone));
    FSRef none{};
    EXPECT_NE(noErr, FSBumpDate(&none));
}

// ---------------------------------------------------------------- creator and type

struct CreatorTypeCase {
    const char* name;
    OSType creator, type;
    OSType wantCreator, wantType;
};

class ChangeCreatorType : public FinderInfoTest,
                          public ::testing::WithParamInterface<CreatorTypeCase> {};

TEST_P(ChangeCreatorType, ReplacesOnlyTheNonZeroCodesAndBumpsTheParent) {
    const CreatorTypeCase& c = GetParam();
    FinderInfo start{};
    start.file = file_info(kAPPL, kR_, kIsStationery);
    ASSERT_EQ(noErr, FSSetFinderInfo(&fileRef_, &start, nullptr));
    hold_clock(kClock);
    set_mod_date(folderRef_, utc(kClock - 10));
    NotifyLog folderLog(&folderRef_);

    ASSERT_EQ(noErr, FSChangeCreatorType(&fileRef_, c.creator, c.type));
    FileInfo fi = finder_info(fileRef_);
    EXPECT_EQ(c.wantCreator, fi.fileCreator);
    EXPECT_EQ(c.wantType, fi.fileType);
    EXPECT_EQ(kIsStationery, fi.finderFlags) << "flags untouched";
    EXPECT_TRUE(same_date(utc(kClock), mod_date(folderRef_)))
        << "the parent folder's date is bumped";
    EXPECT_EQ(1, folderLog.count());
}

INSTANTIATE_TEST_SUITE_P(Codes, ChangeCreatorType,
                         ::testing::Values(CreatorTypeCase{"both", kTtxt, kTEXT, kTtxt, kTEXT},
                                           CreatorTypeCase{"typeOnly", 0, kTEXT, kR_, kTEXT},
                                           CreatorTypeCase{"creatorOnly", kTtxt, 0, kTtxt, kAPPL},
                                           CreatorTypeCase{"neither", 0, 0, kR_, kAPPL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FinderInfoTest, CreatorTypeRefusesFoldersAndReportsFailures) {
    EXPECT_EQ(notAFileErr, FSChangeCreatorType(&folderRef_, kTtxt, kTEXT));
    EXPECT_FALSE(get_xattr(folder_, kMetadataAttr).has_value()) << "nothing written for a folder";

    vantrel::fault::fail_nth("FSSetCatalogInfo", 1, fLckdErr);
    EXPECT_EQ(fLckdErr, FSChangeCreatorType(&fileRef_, kTtxt, kTEXT));
    EXPECT_EQ(0u, finder_info(fileRef_).fileType);

    vantrel::fault::fail_next("FSGetCatalogInfo", ioErr);
    EXPECT_EQ(ioErr, FSChangeCreatorType(&fileRef_, kTtxt, kTEXT));
    EXPECT_EQ(0u, finder_info(fileRef_).fileType);
}

// ---------------------------------------------------------------- Finder flags

struct FlagCase {
    const char* name;
    OSErr (*fn)(const FSRef*);
    bool set;
    UInt16 bit;
};

class FlagFunction : public FinderInfoTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(FlagFunction, ChangesExactlyItsBitOnFilesAndFolders) {
    const FlagCase& c = GetParam();
    for (const FSRef* ref : {&fileRef_, &folderRef_}) {
        for (UInt16 start : {UInt16{0x0000}, UInt16{0xFFFF}, UInt16{0x0101}}) {
            FinderInfo fi{};
            fi.file = file_info(kAPPL, kR_, start);
            ASSERT_EQ(noErr, FSSetFinderInfo(ref, &fi, nullptr));
            ASSERT_EQ(noErr, c.fn(ref));
            FinderInfo now{};
            ASSERT_EQ(noErr, FSGetFinderInfo(ref, &now, nullptr, nullptr));
            const UInt16 want = c.set ? UInt16(start | c.bit) : UInt16(start & ~c.bit);
            EXPECT_EQ(want, now.file.finderFlags) << std::hex << "start " << start;
            // The rest of the 16 bytes stays as it was (folders hold a window rectangle there).
            EXPECT_EQ(0, std::memcmp(&fi.file, &now.file, offsetof(FileInfo, finderFlags)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Nine, FlagFunction,
    ::testing::Values(FlagCase{"SetInvisible", FSSetInvisible, true, 0x4000},
                      FlagCase{"ClearInvisible", FSClearInvisible, false, 0x4000},
                      FlagCase{"SetNameLocked", FSSetNameLocked, true, 0x1000},
                      FlagCase{"ClearNameLocked", FSClearNameLocked, false, 0x1000},
                      FlagCase{"SetIsStationery", FSSetIsStationery, true, 0x0800},
                      FlagCase{"ClearIsStationery", FSClearIsStationery, false, 0x0800},
                      FlagCase{"SetHasCustomIcon", FSSetHasCustomIcon, true, 0x0400},
                      FlagCase{"ClearHasCustomIcon", FSClearHasCustomIcon, false, 0x0400},
                      FlagCase{"ClearHasBeenInited", FSClearHasBeenInited, false, 0x0100}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FinderInfoTest, NoOpFlagChangesStillWriteAndBumpTheParent) {
    hold_clock(kClock);
    set_mod_date(folderRef_, utc(kClock - 10));
    NotifyLog folderLog(&folderRef_);
    vantrel::fault::set_counting(true);

    ASSERT_EQ(noErr, FSClearInvisible(&fileRef_));  // a visible file
    EXPECT_EQ(2, vantrel::fault::calls("FSSetCatalogInfo")) << "the flags and the parent's date";
    EXPECT_TRUE(same_date(utc(kClock), mod_date(folderRef_)));
    EXPECT_EQ(1, folderLog.count());

    ASSERT_EQ(noErr, FSChangeFinderFlags(&fileRef_, true, 0));
    EXPECT_EQ(4, vantrel::fault::calls("FSSetCatalogInfo"));
    EXPECT_EQ(2, folderLog.count());
    EXPECT_EQ(0, finder_info(fileRef_).finderFlags);
}

TEST_F(FinderInfoTest, FlagWriteFailureIsReturnedAndNothingIsBumped) {
    hold_clock(kClock);
    set_mod_date(folderRef_, utc(kClock - 10));
    NotifyLog any(nullptr);
    vantrel::fault::fail_nth("FSSetCatalogInfo", 1, wPrErr);
    EXPECT_EQ(wPrErr, FSSetInvisible(&fileRef_));
    EXPECT_EQ(0, any.count());
    EXPECT_TRUE(same_date(utc(kClock - 10), mod_date(folderRef_)));
    EXPECT_EQ(0, finder_info(fileRef_).finderFlags);
}

// ---------------------------------------------------------------- copying attributes

TEST_F(FinderInfoTest, CopyFileMgrAttributesCarriesDatesPermissionsAndFinderInfo) {
    const fs::path dest = dir_.write("dest.txt", "other");
    FSRef destRef = ref_of(dest);
    FinderInfo fi{};
    fi.file = file_info(kTEXT, kTtxt, kHasBeenInited | kIsStationery | kHasCustomIcon);
    ExtendedFinderInfo xi{};
    xi.file.extendedFinderFlags = 0x0004;
    xi.file.putAwayFolderID = 1234;
    ASSERT_EQ(noErr, FSSetFinderInfo(&fileRef_, &fi, &xi));
    FSCatalogInfo set{};
    set.createDate = utc(kClock - 5000, 0x1000);
    set.contentModDate = utc(kClock - 4000, 0x2000);
    set.accessDate = utc(kClock - 3000, 0x3000);
    set.backupDate = utc(kClock - 2000, 0x4000);
    ASSERT_EQ(noErr, FSSetCatalogInfo(&fileRef_,
                                      kFSCatInfoCreateDate | kFSCatInfoContentMod |
                                          kFSCatInfoAccessDate | kFSCatInfoBackupDate,
                                      &set));
    ASSERT_EQ(0, ::chmod(file_.c_str(), 0640));
    ASSERT_EQ(0, ::chmod(dest.c_str(), 0606));
    if (::geteuid() == 0) {
        ASSERT_EQ(0, ::chown(file_.c_str(), 65534, 65534));
    }
    NotifyLog any(nullptr);

    ASSERT_EQ(noErr, FSCopyFileMgrAttributes(&fileRef_, &destRef, false));
    EXPECT_EQ(0, any.count()) << "copying attributes announces nothing";

    const FSCatalogInfoBitmap bits =
        kFSCatInfoCreateDate | kFSCatInfoContentMod | kFSCatInfoAccessDate | kFSCatInfoBackupDate |
        kFSCatInfoPermissions | kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo | kFSCatInfoNodeFlags;
    FSCatalogInfo a{}, b{};
    ASSERT_EQ(noErr, FSGetCatalogInfo(&fileRef_, bits, &a, nullptr, nullptr, nullptr));
    ASSERT_EQ(noErr, FSGetCatalogInfo(&destRef, bits, &b, nullptr, nullptr, nullptr));
    EXPECT_TRUE(same_date(a.createDate, b.createDate))
        << show(a.createDate) << " vs " << show(b.createDate);
    EXPECT_TRUE(same_date(a.contentModDate, b.contentModDate))
        << show(a.contentModDate) << " vs " << show(b.contentModDate);
    EXPECT_TRUE(same_date(a.accessDate, b.accessDate))
        << show(a.accessDate) << " vs " << show(b.accessDate);
    EXPECT_TRUE(same_date(a.backupDate, b.backupDate))
        << show(a.backupDate) << " vs " << show(b.backupDate);
    EXPECT_TRUE(same_date(utc(kClock - 4000, 0x2000), b.contentModDate));
    const auto* pa = reinterpret_cast<const FSPermissionInfo*>(a.permissions);
    const auto* pb = reinterpret_cast<const FSPermissionInfo*>(b.permissions);
    EXPECT_EQ(pa->userID, pb->userID);
    EXPECT_EQ(pa->groupID, pb->groupID);
    EXPECT_EQ(pa->mode & 07777, pb->mode & 07777);
    struct stat st {};
    ASSERT_EQ(0, ::stat(dest.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    // Finder info equal except the has-been-inited flag, which never travels.
    FileInfo want = fi.file;
    want.finderFlags &= ~kHasBeenInited;
    EXPECT_EQ(0, std::memcmp(&want, b.finderInfo, 16));
    EXPECT_EQ(0, std::memcmp(a.extFinderInfo, b.extFinderInfo, 16));
    EXPECT_EQ(kHasBeenInited | kIsStationery | kHasCustomIcon, finder_info(fileRef_).finderFlags)
        << "the source keeps its flags";
}

TEST_F(FinderInfoTest, CopyFileMgrAttributesCarriesTheLockOnlyWhenAsked) {
    if (!vtest::can_set_immutable(dir_.path())) GTEST_SKIP() << vtest::kNeedsImmutable;
    const fs::path unlockedDest = dir_.write("a.txt");
    const fs::path lockedDest = dir_.write("b.txt");
    FSRef unlockedRef = ref_of(unlockedDest), lockedRef = ref_of(lockedDest);
    FSCatalogInfo lock{};
    lock.nodeFlags = kFSNodeLockedMask;
    ASSERT_EQ(noErr, FSSetCatalogInfo(&fileRef_, kFSCatInfoNodeFlags, &lock));
    FSCatalogInfo check{};
    ASSERT_EQ(noErr,
              FSGetCatalogInfo(&fileRef_, kFSCatInfoNodeFlags, &check, nullptr, nullptr, nullptr));
    ASSERT_TRUE(check.nodeFlags & kFSNodeLockedMask) << "the lock just set is not reported";

    ASSERT_EQ(noErr, FSCopyFileMgrAttributes(&fileRef_, &unlockedRef, false));
    ASSERT_EQ(noErr, FSGetCatalogInfo(&unlockedRef, kFSCatInfoNodeFlags, &check, nullptr, nullptr,
                                      nullptr));
    EXPECT_EQ(0, check.nodeFlags & kFSNodeLockedMask) << "lock not carried without the flag";
    EXPECT_EQ(noErr, FSCheckLock(&unlockedRef));

    ASSERT_EQ(noErr, FSCopyFileMgrAttributes(&fileRef_, &lockedRef, true));
    ASSERT_EQ(noErr,
              FSGetCatalogInfo(&lockedRef, kFSCatInfoNodeFlags, &check, nullptr, nullptr, nullptr));
    EXPECT_EQ(kFSNodeLockedMask, check.nodeFlags & kFSNodeLockedMask) << "lock carried when asked";
    EXPECT_EQ(fLckdErr, FSCheckLock(&lockedRef));

    lock.nodeFlags = 0;
    EXPECT_EQ(noErr, FSSetCatalogInfo(&fileRef_, kFSCatInfoNodeFlags, &lock));
    EXPECT_EQ(noErr, FSSetCatalogInfo(&lockedRef, kFSCatInfoNodeFlags, &lock));
}

TEST_F(FinderInfoTest, CopyFileMgrAttributesReportsFailuresUnchanged) {
    FSRef destRef = ref_of(dir_.write("dest"));
    vantrel::fault::fail_nth("FSGetCatalogInfo", 1, ioErr);
    EXPECT_EQ(ioErr, FSCopyFileMgrAttributes(&fileRef_, &destRef, false));
    vantrel::fault::fail_nth("FSSetCatalogInfo", 1, vLckdErr);
    EXPECT_EQ(vLckdErr, FSCopyFileMgrAttributes(&fileRef_, &destRef, false));
}

}  // namespace
