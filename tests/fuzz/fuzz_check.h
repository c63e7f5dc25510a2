// The one verdict every fuzz target gives: a broken property aborts, so
// libFuzzer keeps the input that broke it.
#pragma once

#include <cstdlib>

namespace fuzz {

inline void Check(bool ok) {
    if (!ok) std::abort();
}

} // namespace fuzz
