// Buffered output to a file descriptor, and a small JSON writer that streams
// into it (tree and ls print one line per item, 100,000 items and more).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fmutil {

class Out {
  public:
    explicit Out(int fd);
    ~Out() { flush(); }
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;

    std::string& buf() { return buf_; }
    Out& operator<<(std::string_view s) {
        buf_.append(s);
        maybe_flush();
        return *this;
    }
    void maybe_flush() {
        if (buf_.size() >= kFlushAt) flush();
    }
    // False once any write failed (a full disk, a closed pipe).
    bool flush();
    bool ok() const { return ok_; }
    // The errno of the write that failed (later calls change errno).
    int error() const { return error_; }
    int fd() const { return fd_; }
    // Whether the descriptor is a terminal: names are escaped only there.
    bool terminal() const { return terminal_; }
    // Appends a name or path: as its bytes, or escaped on a terminal so that
    // a hostile name cannot drive it (as GNU ls does).
    void name(std::string_view text);

  private:
    static constexpr std::size_t kFlushAt = std::size_t{64} * 1024;
    int fd_;
    bool terminal_;
    bool ok_ = true;
    int error_ = 0;
    std::string buf_;
};

// Writes one JSON value with keys and commas placed for the caller:
//   JsonWriter j(out); j.begin_object(); j.key("path"); j.string(p); j.end_object();
class JsonWriter {
  public:
    explicit JsonWriter(Out& out) : out_(out) {}
    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    void key(std::string_view k);
    void string(std::string_view s);
    void number(std::int64_t n);
    void unsigned_number(std::uint64_t n);
    void boolean(bool b);
    void null();
    // Ends the document with a newline.
    void finish();

    // key + value shorthands
    void field(std::string_view k, std::string_view s) { key(k), string(s); }
    // A null `s` is JSON's null (a kind that could not be looked at).
    void field(std::string_view k, const char* s) {
        key(k);
        s != nullptr ? string(s) : null();
    }
    void field(std::string_view k, std::int64_t n) { key(k), number(n); }
    void field_u(std::string_view k, std::uint64_t n) { key(k), unsigned_number(n); }
    void field(std::string_view k, bool b) { key(k), boolean(b); }
    // A name or path: the string, and where it is not UTF-8 (and so cannot
    // be carried exactly by a JSON string) also "<k>_bytes" with its bytes
    // in hexadecimal, so that a script can recover the name.
    void name_field(std::string_view k, std::string_view s);

  private:
    void before_value();
    Out& out_;
    std::vector<bool> first_;  // per open container: no element written yet
    bool afterKey_ = false;
};

}  // namespace fmutil
