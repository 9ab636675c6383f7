// Helpers for the Finder-information, lock, legacy and privilege tests: real
// files, their extended attributes, AppleDouble metadata records built byte
// by byte, notification recorders, and children in a private mount namespace.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Child.h"
#include "FSTestSupport.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"

namespace ftest {

namespace fs = std::filesystem;

inline constexpr const char* kMetadataAttr = "user.org.netatalk.Metadata";
inline constexpr const char* kResourceForkAttr = "user.org.netatalk.ResourceFork";

using vtest::file_info;
using vtest::path_of;
using vtest::ref_of;

inline std::optional<std::string> get_xattr(const fs::path& p, const char* name) {
    std::string v(65536, '\0');
    ssize_t n = ::lgetxattr(p.c_str(), name, v.data(), v.size());
    if (n < 0) return std::nullopt;
    v.resize(static_cast<std::size_t>(n));
    return v;
}

inline void set_xattr(const fs::path& p, const char* name, const std::string& v) {
    ASSERT_EQ(0, ::lsetxattr(p.c_str(), name, v.data(), v.size(), 0)) << p << " " << name;
}

inline UTCDateTime utc(std::int64_t seconds, UInt16 fraction = 0) {
    return UTCDateTime{static_cast<UInt16>(seconds >> 32),
                       static_cast<UInt32>(seconds & 0xFFFFFFFF), fraction};
}

inline std::int64_t seconds_of(const UTCDateTime& d) {
    return (static_cast<std::int64_t>(d.highSeconds) << 32) | d.lowSeconds;
}

inline bool same_date(const UTCDateTime& a, const UTCDateTime& b) {
    return a.highSeconds == b.highSeconds && a.lowSeconds == b.lowSeconds &&
           a.fraction == b.fraction;
}

inline std::string show(const UTCDateTime& d) {
    return std::to_string(seconds_of(d)) + "+" + std::to_string(d.fraction) + "/65536";
}

// ---------------------------------------------------------------- metadata records

inline void put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8) s[at + i] = static_cast<char>(v & 0xFF);
}
inline void put16(std::string& s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v >> 8);
    s[at + 1] = static_cast<char>(v & 0xFF);
}
inline std::uint32_t get32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}
inline std::uint16_t get16(const std::string& s, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(s[at]) << 8) |
                                      static_cast<unsigned char>(s[at + 1]));
}

struct Entry {
    std::uint32_t id;
    std::uint32_t length;
};

// The eight entries in the order the record lays them out.
inline const std::vector<Entry>& standard_entries() {
    static const std::vector<Entry> e = {{9, 32},         {4, 200},        {8, 16},
                                         {14, 4},         {0x80444556, 8}, {0x80494E4F, 8},
                                         {0x8053594E, 8}, {0x8053567E, 4}};
    return e;
}

// The contents a test puts in a record it builds.
struct RecordData {
    unsigned char finder[32] = {};  // Finder info then extended Finder info, big-endian
    std::string comment;            // at most 200 bytes
    std::int32_t dates[4] = {INT32_MIN, INT32_MIN, INT32_MIN,
                             INT32_MIN};  // create, modify, backup, access (2000-based)
};

// A 402-byte record with the entries listed (and their data laid out) in
// `order`; the header and the entry table are written field by field, as
// another program would.
inline std::string build_record(const RecordData& d,
                                const std::vector<Entry>& order = standard_entries()) {
    std::size_t dataStart = 26 + 12 * order.size();
    std::size_t total = dataStart;
    for (const Entry& e : order) total += e.length;
    std::string s(total, '\0');
    put32(s, 0, 0x00051607);
    put32(s, 4, 0x00020000);
    put16(s, 24, static_cast<std::uint16_t>(order.size()));
    std::size_t off = dataStart;
    for (std::size_t i = 0; i < order.size(); ++i) {
        put32(s, 26 + 12 * i, order[i].id);
        put32(s, 26 + 12 * i + 4, static_cast<std::uint32_t>(off));
        put32(s, 26 + 12 * i + 8, order[i].length);
        switch (order[i].id) {
            case 9:
                std::memcpy(&s[off], d.finder, 32);
                break;
            case 4:
                std::memcpy(&s[off], d.comment.data(),
                            std::min<std::size_t>(200, d.comment.size()));
                break;
            case 8:
                for (int k = 0; k < 4; ++k)
                    put32(s, off + 4 * k, static_cast<std::uint32_t>(d.dates[k]));
                break;
            default:
                break;
        }
        off += order[i].length;
    }
    return s;
}

// Offset and length of entry `id` in a record, found through its entry table.
inline std::optional<std::pair<std::size_t, std::size_t>> find_entry(const std::string& rec,
                                                                     std::uint32_t id) {
    if (rec.size() < 26) return std::nullopt;
    const std::size_t count = get16(rec, 24);
    for (std::size_t i = 0; i < count && 26 + 12 * (i + 1) <= rec.size(); ++i) {
        if (get32(rec, 26 + 12 * i) == id)
            return std::make_pair<std::size_t, std::size_t>(get32(rec, 30 + 12 * i),
                                                            get32(rec, 34 + 12 * i));
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- notifications

// Counts the announcements made about one directory (or, with a null
// reference, about any directory) while it lives.
class NotifyLog {
  public:
    explicit NotifyLog(const FSRef* dir) {
        EXPECT_EQ(noErr, FNSubscribe(dir, &NotifyLog::callback, this, 0, &sub_));
    }
    ~NotifyLog() {
        if (sub_ != nullptr) FNUnsubscribe(sub_);
    }
    NotifyLog(const NotifyLog&) = delete;
    NotifyLog& operator=(const NotifyLog&) = delete;
    int count() const { return count_; }
    FNMessage last() const { return last_; }

  private:
    static void callback(FNMessage message, OptionBits, void* refcon, FNSubscriptionRef) {
        auto* self = static_cast<NotifyLog*>(refcon);
        ++self->count_;
        self->last_ = message;
    }
    FNSubscriptionRef sub_ = nullptr;
    int count_ = 0;
    FNMessage last_ = 0;
};

// ---------------------------------------------------------------- children

// Runs `body` in a forked child that has a private mount namespace (with "/"
// made private first, so nothing it mounts is seen outside). The body returns
// an empty string on success or a message; the child's GoogleTest state is
// not used. Returns nullopt when the namespace cannot be had (the caller skips).
inline std::optional<std::string> in_private_mounts(const std::function<std::string()>& body) {
    return vtest::run_child(vtest::Child::PrivateMounts, body);
}

// Formats a mismatch inside a child body.
template <class A, class B>
std::string expect_eq(const char* what, const A& expected, const B& actual) {
    if (expected == actual) return {};
    return std::string(what) + ": expected " + std::to_string(expected) + ", got " +
           std::to_string(actual) + "\n";
}

}  // namespace ftest
