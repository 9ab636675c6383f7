// FNNotify subscriptions: who hears what, and subscriptions that change while
// an announcement is being delivered.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "FSTestSupport.h"
#include "TempDir.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

namespace {

using vtest::ref_of;

struct Heard {
    std::vector<std::pair<FNMessage, OptionBits>> calls;
    FNSubscriptionRef self = nullptr;
    bool unsubscribe_self = false;
    const FSRef* renotify = nullptr;
};

void record(FNMessage m, OptionBits f, void* refcon, FNSubscriptionRef sub) {
    auto* h = static_cast<Heard*>(refcon);
    h->calls.emplace_back(m, f);
    EXPECT_EQ(h->self, sub) << "the callback is told which subscription it is";
    if (h->unsubscribe_self) {
        EXPECT_EQ(noErr, FNUnsubscribe(sub));
    }
    if (h->renotify != nullptr) {
        const FSRef* again = h->renotify;
        h->renotify = nullptr;
        EXPECT_EQ(noErr, FNNotify(again, kFNDirectoryModifiedMessage, 7));
    }
}

class NotifyTest : public ::testing::Test {
  protected:
    vtest::TempDir dir_{"notify"};
};

TEST_F(NotifyTest, OnlySubscribersOfThatDirectoryOrOfAllHear) {
    FSRef a = ref_of(dir_.mkdir("a")), b = ref_of(dir_.mkdir("b"));
    Heard ha, hb, hall;
    ASSERT_EQ(noErr, FNSubscribe(&a, record, &ha, 0, &ha.self));
    ASSERT_EQ(noErr, FNSubscribe(&b, record, &hb, 0, &hb.self));
    ASSERT_EQ(noErr, FNSubscribe(nullptr, record, &hall, 0, &hall.self));

    ASSERT_EQ(noErr, FNNotify(&a, kFNDirectoryModifiedMessage, 3));
    ASSERT_EQ(1u, ha.calls.size());
    EXPECT_EQ(UInt32{kFNDirectoryModifiedMessage}, ha.calls[0].first);
    EXPECT_EQ(3u, ha.calls[0].second) << "flags are passed through";
    EXPECT_EQ(0u, hb.calls.size());
    EXPECT_EQ(1u, hall.calls.size());

    // A second reference to the same directory is the same directory.
    FSRef a2 = ref_of(dir_.path() / "a");
    ASSERT_EQ(noErr, FNNotify(&a2, kFNDirectoryModifiedMessage, 0));
    EXPECT_EQ(2u, ha.calls.size());

    EXPECT_EQ(noErr, FNUnsubscribe(ha.self));
    EXPECT_EQ(noErr, FNUnsubscribe(hb.self));
    EXPECT_EQ(noErr, FNUnsubscribe(hall.self));
    ASSERT_EQ(noErr, FNNotify(&a, kFNDirectoryModifiedMessage, 0));
    EXPECT_EQ(2u, ha.calls.size()) << "nothing after unsubscribing";
    EXPECT_EQ(paramErr, FNUnsubscribe(ha.self)) << "a subscription ends once";
}

TEST_F(NotifyTest, ASubscriptionFollowsItsDirectoryThroughARename) {
    FSRef a = ref_of(dir_.mkdir("a"));
    Heard h;
    ASSERT_EQ(noErr, FNSubscribe(&a, record, &h, 0, &h.self));
    const UniChar name[] = {'r', 'e', 'n', 'a', 'm', 'e', 'd'};
    FSRef renamed;
    ASSERT_EQ(noErr, FSRenameUnicode(&a, 7, name, 0xFFFF, &renamed));
    FSRef byPath = ref_of(dir_.path() / "renamed");
    ASSERT_EQ(noErr, FNNotify(&byPath, kFNDirectoryModifiedMessage, 0));
    EXPECT_EQ(1u, h.calls.size());
    FNUnsubscribe(h.self);
}

TEST_F(NotifyTest, CallbacksMayUnsubscribeAndNotifyAgain) {
    FSRef a = ref_of(dir_.mkdir("a")), b = ref_of(dir_.mkdir("b"));
    Heard once, hb;
    once.unsubscribe_self = true;
    ASSERT_EQ(noErr, FNSubscribe(&a, record, &once, 0, &once.self));
    hb.renotify = &a;  // b's callback announces a change of a
    ASSERT_EQ(noErr, FNSubscribe(&b, record, &hb, 0, &hb.self));
    Heard later;
    ASSERT_EQ(noErr, FNSubscribe(&a, record, &later, 0, &later.self));

    ASSERT_EQ(noErr, FNNotify(&a, kFNDirectoryModifiedMessage, 0));
    EXPECT_EQ(1u, once.calls.size());
    EXPECT_EQ(1u, later.calls.size());
    ASSERT_EQ(noErr, FNNotify(&b, kFNDirectoryModifiedMessage, 0));
    EXPECT_EQ(1u, hb.calls.size());
    EXPECT_EQ(1u, once.calls.size()) << "it unsubscribed itself";
    EXPECT_EQ(2u, later.calls.size()) << "the nested announcement of a was delivered";
    EXPECT_EQ(UInt32{7}, later.calls[1].second);
    FNUnsubscribe(hb.self);
    FNUnsubscribe(later.self);
}

TEST_F(NotifyTest, RefusesFilesMissingObjectsAndNulls) {
    FSRef file = ref_of(dir_.write("f"));
    FSRef gone = ref_of(dir_.mkdir("gone"));
    std::filesystem::remove(dir_.path() / "gone");
    Heard h;
    FNSubscriptionRef sub = nullptr;
    EXPECT_EQ(dirNFErr, FNSubscribe(&file, record, &h, 0, &sub));
    EXPECT_EQ(fnfErr, FNSubscribe(&gone, record, &h, 0, &sub));
    EXPECT_EQ(nullptr, sub) << "no subscription is handed out on failure";
    EXPECT_EQ(paramErr, FNSubscribe(nullptr, nullptr, &h, 0, &sub));
    EXPECT_EQ(paramErr, FNSubscribe(nullptr, record, &h, 0, nullptr));
    EXPECT_EQ(dirNFErr, FNNotify(&file, kFNDirectoryModifiedMessage, 0));
    EXPECT_EQ(fnfErr, FNNotify(&gone, kFNDirectoryModifiedMessage, 0));
    EXPECT_EQ(paramErr, FNNotify(nullptr, kFNDirectoryModifiedMessage, 0));
    int local = 0;
    EXPECT_EQ(paramErr, FNUnsubscribe(reinterpret_cast<FNSubscriptionRef>(&local)))
        << "a foreign pointer";

    vantrel::fault::Scope scope;
    FSRef d = ref_of(dir_.path());
    vantrel::fault::fail_nth("FNNotify", 1, ioErr);
    EXPECT_EQ(ioErr, FNNotify(&d, kFNDirectoryModifiedMessage, 0));
}

}  // namespace
