// The catalogue iterators (iter_catalog.cpp). Hidden (never installed).
#pragma once

namespace vantrel::fm {

// Number of iterators open in the process (tests prove none leaks).
long open_iterator_count() noexcept;

}  // namespace vantrel::fm
