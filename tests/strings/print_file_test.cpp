// print(short): the text and a newline written with FSWrite into an open fork.
#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "vantrel/CString256.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

namespace {

struct OpenFork {
    FSIORefNum ref = 0;
    OSErr err = noErr;
    explicit OpenFork(const std::string& path) {
        FSRef file;
        err = FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &file, nullptr);
        if (err != noErr) return;
        HFSUniStr255 data;
        FSGetDataForkName(&data);
        err = FSOpenFork(&file, data.length, data.unicode, fsRdWrPerm, &ref);
    }
    ~OpenFork() {
        if (err == noErr) FSCloseFork(ref);
    }
};

TEST(CString256PrintFile, WritesTextAndNewlineAtTheMark) {
    vtest::TempDir dir;
    std::string path = dir.write("out.txt").string();
    {
        OpenFork f(path);
        ASSERT_EQ(f.err, noErr);
        CString256 s;
        s = "abc";
        EXPECT_EQ(s.print(f.ref), noErr);
        CString256 empty;
        EXPECT_EQ(empty.print(f.ref), noErr) << "an empty text writes one byte, the newline";
        std::string full(255, 'f');
        s = full.c_str();
        EXPECT_EQ(s.print(f.ref), noErr);
    }
    EXPECT_EQ(vtest::read_file(path), "abc\n\n" + std::string(255, 'f') + "\n");
}

TEST(CString256PrintFile, ReportsFailuresAndWritesNothing) {
    vtest::TempDir dir;
    std::string path = dir.write("out.txt", "keep").string();
    CString256 s;
    s = "abc";
    EXPECT_NE(s.print(static_cast<short>(12345)), noErr) << "not an open fork";
    {
        OpenFork f(path);
        ASSERT_EQ(f.err, noErr);
        vantrel::fault::Scope scope;
        vantrel::fault::fail_nth("FSWrite", 1, dskFulErr);
        EXPECT_EQ(s.print(f.ref), dskFulErr);
    }
    EXPECT_EQ(vtest::read_file(path), "keep");
}

}  // namespace
