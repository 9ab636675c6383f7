// The one fault sweep of the suite, after SQLite's fault simulator: an
// operation is run again and again while the seam fails its n-th platform
// call (n = 1, 2, ... until a run meets no fault at all), with each error
// class (ioErr, dskFulErr, afpAccessDenied, memFullErr), transient (that call
// only) and persistent (that call and every later one, undo included). Every
// trial is named in failures by what was injected where:
//
//   fault trial: call 7 of 23, FSRenameUnicode.rename "obj" (its 2nd call), dskFulErr, persistent
//
// The body makes its fixture, runs the operation inside inject() (only the
// calls made there are counted and failed) and checks what the operation's
// contract promises for that trial:
//
//   vtest::FaultSweep sweep;
//   sweep.run([&](vtest::FaultTrial& t) {
//       Tree tree = make_tree();                          // not counted
//       const vtest::Snapshot before = vtest::snapshot(tree.root);
//       const OSErr e = t.inject([&] { return FSDeleteObject(&tree.ref); });
//       if (t.clean()) {                                  // no fault, or only benign ones
//           EXPECT_OSERR(e, noErr);
//           return;
//       }
//       t.expect_undone(e, before, vtest::snapshot(tree.root));  // reported, nothing changed
//   });
//
// The sweep stops after three failing trials, so that one defect does not
// bury the log. run() returns the number of trials; the sweep also prints
// it and records it as the test property "fault_trials". A row that repeats
// another's calls on other data may sweep one class (FaultSweep::only({ioErr})).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "OSErrTesting.h"
#include "Snapshot.h"
#include "vantrel/fault.h"

namespace vtest {

inline constexpr OSErr kFaultClasses[] = {ioErr, dskFulErr, afpAccessDenied, memFullErr};

class FaultTrial {
  public:
    FaultTrial(long n, OSErr errorClass, bool persistent)
        : n_(n), class_(errorClass), persistent_(persistent) {
        intro_.emplace(__FILE__, __LINE__,
                       "fault trial: call " + std::to_string(n) + ", " + oserr_text(errorClass) +
                           (persistent ? ", persistent" : ", transient"));
    }
    FaultTrial(const FaultTrial&) = delete;
    FaultTrial& operator=(const FaultTrial&) = delete;
    ~FaultTrial() {
        named_.reset();  // traces are a stack: the later one goes first
        intro_.reset();
    }

    long n() const { return n_; }
    OSErr error_class() const { return class_; }
    bool persistent() const { return persistent_; }

    // Runs `op` with the trial's fault armed and returns what it returns.
    // The seam is reset afterwards (overrides the body set included).
    template <class F>
    auto inject(F&& op) -> decltype(op()) {
        namespace vf = vantrel::fault;
        const long base = vf::calls("*");
        vf::fail_nth("*", base + n_, class_, persistent_);
        struct Done {
            FaultTrial& t;
            long base;
            ~Done() {
                t.log_ = vf::injections();
                t.faults_ = vf::injected();
                t.calls_ = vf::calls("*") - base;
                for (auto& i : t.log_) i.globalIndex -= base;
                vf::reset();
                t.named_.emplace(__FILE__, __LINE__, t.name());
            }
        } done{*this, base};
        return op();
    }

    // Faults injected by the run (0 when n lies past its last call).
    long faults() const { return faults_; }
    // Platform calls the run made.
    long calls() const { return calls_; }
    const std::vector<vantrel::fault::Injection>& log() const { return log_; }
    // No fault, or only faults the operation deliberately ignores: the run
    // must end as if nothing had failed.
    bool clean() const {
        if (faults_ == 0) return true;
        if (faults_ != static_cast<long>(log_.size())) return false;
        for (const auto& i : log_)
            if (!i.benign) return false;
        return true;
    }

    // Whether `result` reports the injected failure: the class itself, or
    // what the errno table makes of it where a step failed (EACCES on a
    // file's own data or attributes is permErr).
    bool reports(OSErr result) const {
        if (result == class_) return true;
        const bool atStep = !log_.empty() && log_.front().op.find('.') != std::string::npos;
        return atStep && class_ == afpAccessDenied && result == permErr;
    }

    // What a failed run must leave, from snapshots before and after it: the
    // failure reported (the class, never noErr) and the tree as it was. When
    // the fault persisted and the operation `undoes` earlier steps, the undo
    // failed as well: then nothing may be lost.
    void expect_undone(OSErr result, const Snapshot& before, const Snapshot& after,
                       bool undoes = true) const {
        if (persistent_ && undoes) {
            EXPECT_OSERR_NE(result, noErr);
            EXPECT_EQ(lost(before, after), "");
            return;
        }
        EXPECT_TRUE(reports(result)) << "returned " << oserr_text(result);
        EXPECT_EQ(diff(before, after), "");
    }

    std::string name() const {
        std::string s =
            "fault trial: call " + std::to_string(n_) + " of " + std::to_string(calls_) + ", ";
        if (log_.empty()) {
            s += "nothing injected";
        } else {
            const auto& i = log_.front();
            s += i.op + (i.detail.empty() ? "" : " \"" + i.detail + "\"") + " (its call " +
                 std::to_string(i.index) + ")" + (i.benign ? " benign" : "");
            if (faults_ > 1) s += " and " + std::to_string(faults_ - 1) + " later call(s)";
        }
        return s + ", " + oserr_text(class_) + (persistent_ ? ", persistent" : ", transient");
    }

  private:
    long n_;
    OSErr class_;
    bool persistent_;
    long faults_ = 0;
    long calls_ = 0;
    std::vector<vantrel::fault::Injection> log_;
    std::optional<::testing::ScopedTrace> intro_;
    std::optional<::testing::ScopedTrace> named_;
};

class FaultSweep {
  public:
    // The most calls one run may make before the sweep is taken not to end.
    explicit FaultSweep(long maxCalls = 2000) : maxCalls_(maxCalls) {}
    // A sweep of some error classes only: for a row that repeats another's
    // calls on other data (a name, a time), whose undo no class changes.
    static FaultSweep only(std::vector<OSErr> classes, long maxCalls = 2000) {
        FaultSweep sweep(maxCalls);
        sweep.classes_ = std::move(classes);
        return sweep;
    }

    template <class Body>
    long run(Body&& body) {
        long trials = 0, longest = 0;
        int failing = 0;
        for (OSErr errorClass : classes_) {
            for (bool persistent : {false, true}) {
                for (long n = 1;; ++n) {
                    if (n > maxCalls_) {
                        ADD_FAILURE() << "the sweep does not end: more than " << maxCalls_
                                      << " calls with " << oserr_text(errorClass);
                        return trials;
                    }
                    const int failedBefore = failed_parts();
                    long faults = 0;
                    {
                        vantrel::fault::Scope scope;
                        FaultTrial t(n, errorClass, persistent);
                        body(t);
                        faults = t.faults();
                        longest = std::max(longest, t.calls());
                    }
                    ++trials;
                    if (failed_parts() != failedBefore && ++failing == 3) {
                        ADD_FAILURE() << "the sweep stopped after three failing trials";
                        return trials;
                    }
                    if (faults == 0) break;
                }
            }
        }
        std::printf("[ fault sweep ] %s: %ld trials, up to %ld calls a run\n", test_name().c_str(),
                    trials, longest);
        ::testing::Test::RecordProperty("fault_trials", static_cast<int>(trials));
        return trials;
    }

  private:
    static int failed_parts() {
        const ::testing::TestResult* r =
            ::testing::UnitTest::GetInstance()->current_test_info()->result();
        int n = 0;
        for (int i = 0; i < r->total_part_count(); ++i) n += r->GetTestPartResult(i).failed();
        return n;
    }
    static std::string test_name() {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string(info->test_suite_name()) + "." + info->name();
    }
    long maxCalls_;
    std::vector<OSErr> classes_{std::begin(kFaultClasses), std::end(kFaultClasses)};
};

}  // namespace vtest
