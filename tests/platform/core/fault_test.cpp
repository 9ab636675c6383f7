#include "vantrel/fault.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vf = vantrel::fault;

TEST(FaultSeam, NthCallTransientAndPersistent) {
    vf::Scope scope;
    EXPECT_EQ(vf::check("FSMoveObject"), noErr) << "nothing armed lets every call through";
    vf::fail_nth("FSMoveObject", 2, fLckdErr);
    EXPECT_EQ(vf::check("FSMoveObject"), noErr);
    EXPECT_EQ(vf::check("FSRenameUnicode"), noErr) << "other operations are not counted by the rule";
    EXPECT_EQ(vf::check("FSMoveObject"), fLckdErr);
    EXPECT_EQ(vf::check("FSMoveObject"), noErr) << "a transient fault fires once";
    EXPECT_EQ(vf::injected(), 1);

    vf::reset();
    vf::fail_nth("*", 2, ioErr, /*persistent=*/true);
    EXPECT_EQ(vf::check("A"), noErr);
    EXPECT_EQ(vf::check("B"), ioErr);
    EXPECT_EQ(vf::check("C"), ioErr);
    EXPECT_EQ(vf::injected(), 2);
    EXPECT_EQ(vf::calls("*"), 3);
    EXPECT_EQ(vf::calls("B"), 1);
}

TEST(FaultSeam, PredicateHookAndOverrides) {
    vf::Scope scope;
    std::vector<std::string> seen;
    vf::set_hook([&](const vf::Call& c) { seen.push_back(std::string(c.op) + ":" + std::string(c.detail)); });
    vf::fail_if([](const vf::Call& c) -> OSErr { return c.detail.ends_with("victim") ? permErr : noErr; });
    EXPECT_EQ(vf::check("FSDeleteObject", "/t/keep"), noErr);
    EXPECT_EQ(vf::check("FSDeleteObject", "/t/victim"), permErr);
    EXPECT_EQ(seen, (std::vector<std::string>{"FSDeleteObject:/t/keep", "FSDeleteObject:/t/victim"}));

    EXPECT_FALSE(vf::override_value("clock").has_value());
    vf::set_override("clock", 42);
    EXPECT_EQ(vf::override_value("clock"), 42);
    vf::reset();
    EXPECT_FALSE(vf::override_value("clock").has_value());
    EXPECT_EQ(vf::check("FSDeleteObject", "/t/victim"), noErr) << "reset disarms everything";
}
