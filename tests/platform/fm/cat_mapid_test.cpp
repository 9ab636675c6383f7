// PBHMapIDSync / PBHMapNameSync against the system's user and group databases.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <cstring>
#include <string>

#include "vantrel/Files.h"
#include "vantrel/fault.h"

namespace {

std::string pascal(const unsigned char* p) {
    return std::string(reinterpret_cast<const char*>(p + 1), p[0]);
}

OSErr map_id(SInt16 type, SInt32 id, Str31 out) {
    HParamBlockRec pb{};
    pb.objParam.ioObjType = type;
    pb.objParam.ioObjID = id;
    pb.objParam.ioObjNamePtr = out;
    OSErr err = PBHMapIDSync(&pb);
    EXPECT_EQ(err, pb.objParam.ioResult) << "the block records the result";
    return err;
}

OSErr map_name(SInt16 type, const std::string& name, SInt32* id) {
    Str255 buf;
    buf[0] = static_cast<unsigned char>(name.size());
    std::memcpy(buf + 1, name.data(), name.size());
    HParamBlockRec pb{};
    pb.objParam.ioObjType = type;
    pb.objParam.ioObjNamePtr = buf;
    pb.objParam.ioObjID = -77;
    OSErr err = PBHMapNameSync(&pb);
    *id = pb.objParam.ioObjID;
    return err;
}

TEST(MapID, UsersAndGroupsRoundTripThroughTheDatabases) {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody' on this system";
    const uid_t nobody_uid = nobody->pw_uid;
    const group* g = ::getgrgid(0);
    ASSERT_NE(nullptr, g);
    const std::string group0 = g->gr_name;

    Str31 name;
    ASSERT_EQ(noErr, map_id(kOwnerID2Name, 0, name));
    EXPECT_EQ("root", pascal(name));
    ASSERT_EQ(noErr, map_id(kOwnerID2Name, static_cast<SInt32>(nobody_uid), name));
    EXPECT_EQ("nobody", pascal(name));
    ASSERT_EQ(noErr, map_id(kGroupID2Name, 0, name));
    EXPECT_EQ(group0, pascal(name));

    SInt32 id = 0;
    ASSERT_EQ(noErr, map_name(kOwnerName2ID, "nobody", &id));
    EXPECT_EQ(static_cast<SInt32>(nobody_uid), id);
    ASSERT_EQ(noErr, map_name(kOwnerName2ID, "root", &id));
    EXPECT_EQ(0, id);
    ASSERT_EQ(noErr, map_name(kGroupName2ID, group0, &id));
    EXPECT_EQ(0, id);
}

TEST(MapID, UnknownOrMalformedInputIsRefusedAndWritesNothing) {
    Str31 name;
    std::memset(name, 0xAB, sizeof name);
    // An ID no database holds.
    EXPECT_EQ(fnfErr, map_id(kOwnerID2Name, 0x7FFFFF0F, name));
    EXPECT_EQ(fnfErr, map_id(kGroupID2Name, 0x7FFFFF0F, name));
    // A name-to-ID type on the ID call and the reverse are caller errors.
    EXPECT_EQ(paramErr, map_id(kOwnerName2ID, 0, name));
    EXPECT_EQ(0xAB, name[0]) << "refused calls leave the caller's buffer alone";

    SInt32 id = 0;
    EXPECT_EQ(fnfErr, map_name(kOwnerName2ID, "no-such-user-vantrel", &id));
    EXPECT_EQ(fnfErr, map_name(kOwnerName2ID, "", &id));
    // "root\0x" must not be read as "root": that would map a forged name to uid 0.
    EXPECT_EQ(fnfErr, map_name(kOwnerName2ID, std::string("root\0x", 6), &id));
    EXPECT_EQ(-77, id) << "no ID is written for a refused name";
    EXPECT_EQ(paramErr, map_name(kOwnerID2Name, "root", &id));

    HParamBlockRec pb{};
    pb.objParam.ioObjType = kOwnerID2Name;
    pb.objParam.ioObjNamePtr = name;
    pb.objParam.ioVRefNum = -30000;  // no such volume
    EXPECT_EQ(nsvErr, PBHMapIDSync(&pb));
    unsigned char root[] = "\x04root";
    pb.objParam.ioObjNamePtr = root;
    pb.objParam.ioObjType = kOwnerName2ID;
    EXPECT_EQ(nsvErr, PBHMapNameSync(&pb));
    pb = HParamBlockRec{};
    pb.objParam.ioObjType = kOwnerID2Name;
    EXPECT_EQ(paramErr, PBHMapIDSync(&pb)) << "no name buffer";
    pb.objParam.ioObjType = kOwnerName2ID;
    EXPECT_EQ(paramErr, PBHMapNameSync(&pb)) << "no name";
    EXPECT_EQ(paramErr, PBHMapIDSync(nullptr));
    EXPECT_EQ(paramErr, PBHMapNameSync(nullptr));
}

TEST(MapID, FaultsReachTheCaller) {
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("PBHMapIDSync", 1, ioErr);
    vantrel::fault::fail_nth("PBHMapNameSync", 1, memFullErr);
    Str31 name;
    SInt32 id;
    EXPECT_EQ(ioErr, map_id(kOwnerID2Name, 0, name));
    EXPECT_EQ(memFullErr, map_name(kOwnerName2ID, "root", &id));
}

}  // namespace
