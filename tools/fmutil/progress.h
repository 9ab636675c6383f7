// Progress on standard error for long walks, shown only when standard error
// is a terminal so that scripts and logs never see it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace fmutil {

// A counter the walking code ticks; redraws at most ten times a second.
class Progress {
  public:
    Progress(int fd, std::string label);
    ~Progress() { clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    bool enabled() const { return enabled_; }
    void tick(std::uint64_t items) {
        if (enabled_ && (items & 1023) == 0) redraw(items);
    }
    // Removes the line (before other output reaches the same terminal).
    void clear();

  private:
    void redraw(std::uint64_t items);
    int fd_;
    std::string label_;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

// For work that reports nothing while it runs (a whole-tree deletion): a
// thread that shows the elapsed time and how many inodes the volume has
// freed since the start, which approximates the items removed.
class VolumeProgress {
  public:
    // dirFd: a descriptor on the volume (kept open by the caller).
    VolumeProgress(int fd, std::string label, int dirFd);
    ~VolumeProgress() { stop(); }
    VolumeProgress(const VolumeProgress&) = delete;
    VolumeProgress& operator=(const VolumeProgress&) = delete;
    void stop();

  private:
    void loop();
    int fd_;
    std::string label_;
    int dirFd_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace fmutil
