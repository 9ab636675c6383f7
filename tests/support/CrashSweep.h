// The crash-point sweep: an operation is run in a child process that the
// fault seam kills right before its n-th step (n = 1, 2, ... until a run
// reaches its end first), each time on a fresh copy of one fixture. After
// every kill, and again after the recovery (the next operation that meets
// the folder), each name must be wholly as before or wholly as after the
// operation, as a full snapshot sees it:
//
//   vtest::CrashSweep sweep(root);
//   sweep.run({
//       .make = [](const fs::path& d) { ... make the fixture in the empty folder d ... },
//       .op = [](const fs::path& d, long n) { return run_killed_at(n, ...); },  // true: killed
//       .recover = [](const fs::path& d) { ... list d ... },
//   });
//
// (A row may ask for wholeness only after the recovery, and after the kill
// only that no fork is lost: see CrashRow::wholeAtKill.)
// A name is an item with its sidecar ("dir/X" and "dir/._X" are one name);
// the private temporaries of changes in progress ("._._vantrel.") may stand
// after a kill but not after the recovery. What differs between two whole
// runs of the operation on two copies of the fixture (an inode number in a
// file ID, the time a sidecar was made) is what no run can promise, and is
// not compared; everything else is, to the byte and the nanosecond.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Snapshot.h"

namespace vtest {

struct CrashRow {
    // Makes the fixture in the empty folder it is given (once: each trial
    // runs on a copy, made as cp -a makes it).
    std::function<void(const fs::path&)> make;
    // Runs the operation on the fixture, killed right before its n-th step
    // (never when n is 0); true when it was killed, false when it ran to
    // its end (it must then have succeeded: the row checks its status).
    std::function<bool(const fs::path&, long n)> op;
    // The next operation to meet what a kill left (a listing, a lookup).
    std::function<void(const fs::path&)> recover;
    // Whether each name must be whole right after the kill too. A change
    // of two objects cannot be one system call: between its steps a reader
    // of the raw files may see it half made, and only the recovery makes
    // it whole; such a row asks after the kill only that nothing is lost.
    bool wholeAtKill = true;
    // What the row is, for failures (run_together names each row's).
    std::string what = {};
    // For an operation that reaches out of the fixture's folder (a move to
    // another volume): the second folder of the fixture in folder d, made
    // empty for each trial, filled as the fixture's is (make fills the
    // template's), and seen with it, its items under "@beside/".
    std::function<fs::path(const fs::path&)> beside = {};
};

namespace crash_detail {

inline constexpr std::string_view kPrivatePrefix = "._._vantrel.";

inline std::string leaf(const std::string& key) {
    const std::size_t slash = key.rfind('/');
    return slash == std::string::npos ? key : key.substr(slash + 1);
}

// The name an item belongs to: a sidecar "._X" to X; a private temporary
// to none ("").
inline std::string owner(const std::string& key) {
    const std::string l = leaf(key);
    if (l.rfind(kPrivatePrefix, 0) == 0) return "";
    if (l.rfind("._", 0) != 0 || l.size() == 2) return key;
    const std::size_t slash = key.rfind('/');
    return (slash == std::string::npos ? "" : key.substr(0, slash + 1)) + l.substr(2);
}

// What of one item is not the same between two whole runs.
struct Varies {
    bool content = false, mtime = false, atime = false;
    std::set<std::string> xattrs;
};

inline void note(const Snapshot& x, const Snapshot& y, std::map<std::string, Varies>* out) {
    for (const auto& [k, a] : x) {
        auto it = y.find(k);
        if (it == y.end()) continue;
        const SnapItem& b = it->second;
        Varies& v = (*out)[k];
        v.content = v.content || a.content != b.content;
        v.mtime = v.mtime || a.mtime != b.mtime;
        v.atime = v.atime || a.atime != b.atime;
        for (const auto& [n, val] : a.xattrs) {
            auto o = b.xattrs.find(n);
            if (o != b.xattrs.end() && o->second != val) v.xattrs.insert(n);
        }
    }
}

inline Snapshot masked(const Snapshot& s, const std::map<std::string, Varies>& varies) {
    Snapshot out;
    for (auto [k, item] : s) {
        if (auto it = varies.find(k); it != varies.end()) {
            if (it->second.content) item.content = "<varies>";
            if (it->second.mtime) item.mtime = 0;
            if (it->second.atime) item.atime = 0;
            for (const std::string& n : it->second.xattrs)
                if (item.xattrs.count(n) != 0) item.xattrs[n] = "<varies>";
        }
        out[k] = std::move(item);
    }
    return out;
}

inline Snapshot of_name(const Snapshot& s, const std::string& name) {
    Snapshot out;
    for (const auto& [k, v] : s)
        if (owner(k) == name) out[k] = v;
    return out;
}

}  // namespace crash_detail

class CrashSweep {
  public:
    // Fixtures are made in fresh folders below `scratch`.
    explicit CrashSweep(fs::path scratch, long maxSteps = 400)
        : scratch_(std::move(scratch)), maxSteps_(maxSteps) {}

    // Runs the sweep; returns the number of kill points tried.
    long run(const CrashRow& row) {
        if (!reference_run(row, 0)) return 0;
        // A second apart, so that a date the operation takes from the clock
        // (to the second) differs between the two and is not compared.
        ::sleep(1);
        if (!reference_run(row, 1)) return 0;
        return sweep(row);
    }

    // Sweeps of several rows (rows[i] on sweeps[i]), each as run() sweeps
    // it, with one second's pause for the reference runs of all of them
    // instead of one each. Returns the kill points tried in all.
    static long run_together(std::vector<CrashSweep>& sweeps, const std::vector<CrashRow>& rows) {
        std::vector<bool> ok(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ::testing::ScopedTrace trace(__FILE__, __LINE__, rows[i].what);
            ok[i] = sweeps.at(i).reference_run(rows[i], 0);
        }
        ::sleep(1);
        long points = 0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ::testing::ScopedTrace trace(__FILE__, __LINE__, rows[i].what);
            if (ok[i] && sweeps[i].reference_run(rows[i], 1)) points += sweeps[i].sweep(rows[i]);
        }
        return points;
    }

  private:
    // The i-th of the two runs without a kill (the first makes the fixture):
    // false when it could not be made, or the run was killed.
    bool reference_run(const CrashRow& row, int i) {
        if (i == 0) {
            template_ = fresh(row);
            row.make(template_);
            if (::testing::Test::HasFatalFailure()) return false;
            made_times_.clear();
            for (const fs::path& t : {template_, row.beside ? row.beside(template_) : fs::path()})
                if (!t.empty()) made_times_.emplace_back(t, snapshot(t));
        }
        const fs::path d = fresh(row);
        copy_fixture(row, d);
        before_[i] = snap(row, d);
        if (row.op(d, 0)) {
            ADD_FAILURE() << "a run that no kill was armed for was killed";
            return false;
        }
        after_[i] = snap(row, d);
        return true;
    }

    // The kill points, once both reference runs are made.
    long sweep(const CrashRow& row) {
        using namespace crash_detail;
        std::map<std::string, Varies> varies;
        note(before_[0], before_[1], &varies);
        note(after_[0], after_[1], &varies);
        const Snapshot old = masked(before_[0], varies), done = masked(after_[0], varies);
        if (old == done) {
            ADD_FAILURE() << "the operation changes nothing the snapshot sees";
            return 0;
        }
        std::set<std::string> names;
        for (const Snapshot* s : {&old, &done})
            for (const auto& [k, v] : *s) names.insert(owner(k));
        names.erase("");
        int failing = 0;
        long n = 1;
        for (; n <= maxSteps_; ++n) {
            const fs::path d = fresh(row);
            copy_fixture(row, d);
            if (!row.op(d, n)) {
                // Past the last step: the run is whole.
                const std::string what = whole_diff(masked(snap(row, d), varies), done);
                EXPECT_EQ(what, "") << "a run that reached its end (" << n - 1 << " steps)";
                break;
            }
            const Snapshot raw = snap(row, d);
            std::string bad;
            if (row.wholeAtKill) {
                bad = check(masked(raw, varies), old, done, names, false);
            } else if (const std::string gone = lost(before_[0], raw);
                       !gone.empty() &&
                       !check(masked(raw, varies), old, done, names, false).empty()) {
                // Nothing is lost but what a whole new state has replaced.
                bad = "after the kill:\n" + gone;
            }
            row.recover(d);
            const Snapshot recovered = masked(snap(row, d), varies);
            bad += check(recovered, old, done, names, true);
            if (!bad.empty()) {
                ADD_FAILURE() << "killed at step " << n << ":\n" << bad;
                if (++failing == 3) {
                    ADD_FAILURE() << "the sweep stopped after three failing kill points";
                    return n;
                }
            }
        }
        if (n > maxSteps_) ADD_FAILURE() << "the operation did not end within " << maxSteps_;
        std::printf("[ crash sweep ] %ld kill points\n", n - 1);
        return n - 1;
    }

    fs::path fresh(const CrashRow& row) {
        const fs::path d = scratch_ / ("t" + std::to_string(++made_));
        for (const fs::path& p : {d, row.beside ? row.beside(d) : fs::path()}) {
            if (p.empty()) continue;
            fs::remove_all(p);
            fs::create_directories(p);
        }
        return d;
    }
    // The fixture with every attribute, mode and time (an owner needs root).
    void copy_fixture(const CrashRow& row, const fs::path& d) const {
        std::string cmd =
            "cp -a --preserve=all '" + template_.string() + "/.' '" + d.string() + "'";
        if (row.beside)
            cmd += " && cp -a --preserve=all '" + row.beside(template_).string() + "/.' '" +
                   row.beside(d).string() + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "could not copy the fixture: " << cmd;
        // Where cp reads the template (no reflink), the kernel sets the
        // access time of each file it read, and the next copy would take
        // that time: the two reference runs would then start from two
        // times, and a read by the operation would pass for what varies.
        for (const auto& [root, made] : made_times_)
            for (const auto& [k, v] : made) {
                if (v.kind != 'f') continue;
                const timespec times[2] = {{v.atime / 1'000'000'000, v.atime % 1'000'000'000},
                                           {0, UTIME_OMIT}};
                if (::utimensat(AT_FDCWD, (root / k).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
                    ADD_FAILURE() << "could not put back the access time of " << root / k;
            }
    }
    // The fixture's folder and its second one, as one snapshot.
    static Snapshot snap(const CrashRow& row, const fs::path& d) {
        Snapshot s = snapshot(d);
        if (row.beside)
            for (auto& [k, v] : snapshot(row.beside(d)))
                s[k == "." ? "@beside" : "@beside/" + k] = std::move(v);
        return s;
    }

    static std::string whole_diff(const Snapshot& got, const Snapshot& want) {
        return diff(want, got);
    }

    static std::string check(const Snapshot& got, const Snapshot& old, const Snapshot& done,
                             const std::set<std::string>& names, bool recovered) {
        using namespace crash_detail;
        std::string out;
        const char* when = recovered ? "after the recovery" : "after the kill";
        for (const auto& [k, v] : got) {
            const std::string o = owner(k);
            if (o == "" && k != ".") {
                if (recovered)
                    out += std::string(when) + ": a private temporary stays: " + k + "\n";
            } else if (names.count(o) == 0 && k != ".") {
                out += std::string(when) + ": a name neither state has: " + k + "\n";
            }
        }
        for (const std::string& name : names) {
            const Snapshot g = of_name(got, name);
            const Snapshot a = of_name(old, name), b = of_name(done, name);
            if (g == a || g == b) continue;
            out += std::string(when) + ": \"" + name +
                   "\" is neither old nor new;\n against the old:\n" + diff(a, g) +
                   " against the new:\n" + diff(b, g);
        }
        return out;
    }

    fs::path scratch_;
    fs::path template_;
    Snapshot before_[2], after_[2];  // of the two reference runs
    // The template's folders as made, for their files' access times.
    std::vector<std::pair<fs::path, Snapshot>> made_times_;
    long maxSteps_;
    int made_ = 0;
};

}  // namespace vtest
