// What a misused pool does: stop a checked build with a message.
#include "pool.h"

#include <cstdio>
#include <cstdlib>

#ifdef VANTREL_POOL_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace vantrel::strings {

void pool_misuse(const char* where, const char* what, const void* obj) noexcept {
#if VANTREL_POOL_CHECKED
    std::fprintf(stderr, "%s: object at %p %s\n", where, obj, what);
#ifdef VANTREL_POOL_ASAN
    __sanitizer_print_stack_trace();
#endif
    std::abort();
#else
    // Release builds keep going with a sound free list; see pool.h.
    (void)where;
    (void)what;
    (void)obj;
#endif
}

}  // namespace vantrel::strings
