#pragma once
// SplitMix64: a small generator whose every seed gives a good sequence. The simulator's
// half-done chip operations and the tests' seeded choices draw from it, so that one seed
// replays the same run everywhere.

#include <cstdint>

namespace tarnvel::sim {

// The next number of the sequence `state` is at, moving it on.
inline std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace tarnvel::sim
