#pragma once

// What every harness asserts with: a broken promise stops the run where libFuzzer sees it.
#include <cstdlib>

namespace tvn::fuzz {

inline void Check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace tvn::fuzz
