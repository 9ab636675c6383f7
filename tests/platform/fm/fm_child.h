// Runs a test body in a forked child, optionally in a private mount
// namespace or as another user; the body returns "" on success or a message.
#pragma once

#include <string>

#include "Child.h"

namespace fmtest {

using vtest::Child;
using vtest::run_child;

inline std::string check(bool ok, const std::string& what) {
    return ok ? std::string() : what + "\n";
}

}  // namespace fmtest
