#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "output.h"

using namespace fmutil;

namespace {

std::string capture(void (*write)(JsonWriter&)) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    {
        Out out(fds[1]);
        JsonWriter j(out);
        write(j);
    }
    ::close(fds[1]);
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    return s;
}

}  // namespace

TEST(FmutilJson, CommasAndNestingArePlacedByTheWriter) {
    EXPECT_EQ(capture([](JsonWriter& j) {
                  j.begin_object();
                  j.field("a", std::int64_t{-1});
                  j.key("list");
                  j.begin_array();
                  j.begin_object();
                  j.end_object();
                  j.number(2);
                  j.null();
                  j.begin_array();
                  j.end_array();
                  j.end_array();
                  j.field("t", true);
                  j.field_u("big", 18446744073709551615ull);
                  j.end_object();
                  j.finish();
              }),
              "{\"a\":-1,\"list\":[{},2,null,[]],\"t\":true,\"big\":18446744073709551615}\n");
}

TEST(FmutilJson, OutReportsAFailedWrite) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    Out out(fds[1]);
    out << "x";
    EXPECT_FALSE(out.flush());
    EXPECT_FALSE(out.ok());
    ::close(fds[1]);
}
