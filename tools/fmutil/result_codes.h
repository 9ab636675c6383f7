// Names (from the platform) and plain-language meanings of the result codes, for the
// one-line error messages of fmutil ("fLckdErr (-45): the file is locked").
#pragma once

#include <string_view>

#include "vantrel/MacTypes.h"

namespace fmutil {

struct ResultCode {
    long code;
    std::string_view name;
    std::string_view meaning;
};

// The entry for `code`, or null when the platform does not name it.
const ResultCode* find_result_code(long code);

// "fLckdErr (-45): the file is locked"; an unnamed code reads
// "error -1234: unknown result code".
std::string describe_result(long code);

}  // namespace fmutil
