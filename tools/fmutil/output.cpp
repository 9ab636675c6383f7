#include "output.h"

#include <unistd.h>

#include <cerrno>

#include "text.h"

namespace fmutil {

Out::Out(int fd) : fd_(fd), terminal_(::isatty(fd) == 1) {
    buf_.reserve(kFlushAt + 4096);
}

void Out::name(std::string_view text) {
    if (terminal_) {
        append_terminal_safe(buf_, text);
    } else {
        buf_.append(text);
    }
}

bool Out::flush() {
    std::size_t done = 0;
    while (ok_ && done < buf_.size()) {
        ssize_t n = ::write(fd_, buf_.data() + done, buf_.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok_ = false;
            error_ = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    buf_.clear();
    return ok_;
}

void JsonWriter::before_value() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_.buf().push_back(',');
        first_.back() = false;
    }
}

void JsonWriter::begin_object() {
    before_value();
    out_.buf().push_back('{');
    first_.push_back(true);
}

void JsonWriter::end_object() {
    first_.pop_back();
    out_.buf().push_back('}');
    out_.maybe_flush();
}

void JsonWriter::begin_array() {
    before_value();
    out_.buf().push_back('[');
    first_.push_back(true);
}

void JsonWriter::end_array() {
    first_.pop_back();
    out_.buf().push_back(']');
    out_.maybe_flush();
}

void JsonWriter::key(std::string_view k) {
    before_value();
    append_json_string(out_.buf(), k);
    out_.buf().push_back(':');
    afterKey_ = true;
}

void JsonWriter::string(std::string_view s) {
    before_value();
    append_json_string(out_.buf(), s);
}

void JsonWriter::number(std::int64_t n) {
    before_value();
    out_.buf() += std::to_string(n);
}

void JsonWriter::unsigned_number(std::uint64_t n) {
    before_value();
    out_.buf() += std::to_string(n);
}

void JsonWriter::boolean(bool b) {
    before_value();
    out_.buf() += b ? "true" : "false";
}

void JsonWriter::null() {
    before_value();
    out_.buf() += "null";
}

void JsonWriter::name_field(std::string_view k, std::string_view s) {
    field(k, s);
    if (!is_utf8(s)) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(s.size() * 2);
        for (char c : s) {
            const auto b = static_cast<unsigned char>(c);
            hex.push_back(kHex[b >> 4]);
            hex.push_back(kHex[b & 0xF]);
        }
        field(std::string(k) + "_bytes", hex);
    }
}

void JsonWriter::finish() {
    out_.buf().push_back('\n');
    out_.maybe_flush();
}

}  // namespace fmutil
