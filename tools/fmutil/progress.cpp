#include "progress.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>

namespace fmutil {
namespace {

void write_all(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n <= 0) return;  // progress is a courtesy; never fail the command over it
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

Progress::Progress(int fd, std::string label)
    : fd_(fd), label_(std::move(label)), enabled_(::isatty(fd) == 1) {}

void Progress::redraw(std::uint64_t items) {
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    write_all(fd_, "\r\033[K" + label_ + ": " + std::to_string(items) + " items");
    shown_ = true;
}

void Progress::clear() {
    if (shown_) write_all(fd_, "\r\033[K");
    shown_ = false;
}

VolumeProgress::VolumeProgress(int fd, std::string label, int dirFd)
    : fd_(fd), label_(std::move(label)), dirFd_(dirFd) {
    if (::isatty(fd_) == 1 && dirFd_ >= 0) thread_ = std::thread([this] { loop(); });
}

void VolumeProgress::stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
}

void VolumeProgress::loop() {
    struct statvfs start {};
    const bool counts = ::fstatvfs(dirFd_, &start) == 0 && start.f_files != 0;
    const auto t0 = std::chrono::steady_clock::now();
    bool shown = false;
    while (!done_) {
        for (int i = 0; i < 4 && !done_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (done_) break;
        auto secs =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0)
                .count();
        std::string line = "\r\033[K" + label_ + ": " + std::to_string(secs) + "s";
        struct statvfs now {};
        if (counts && ::fstatvfs(dirFd_, &now) == 0 && now.f_ffree >= start.f_ffree) {
            line += ", about " + std::to_string(now.f_ffree - start.f_ffree) + " items removed";
        }
        write_all(fd_, line);
        shown = true;
    }
    if (shown) write_all(fd_, "\r\033[K");
}

}  // namespace fmutil
