#pragma once
// The benchmark binary counts every allocation made through operator new, so that a benchmark
// can show that a hot path allocates nothing per register access.

#include <cstdint>

namespace tarnvel::bench {

// Allocations through operator new since the program started.
std::uint64_t allocations();

}  // namespace tarnvel::bench
