#pragma once
// Invariant checks for the fuzz targets. A broken invariant names itself on standard error and
// traps at once, so that libFuzzer keeps the input as a crash and stops the run.

#include <cstdio>
#include <source_location>

namespace tarnvel::fuzz {

inline void check(bool holds, const char* what,
                  std::source_location where = std::source_location::current()) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s (%s:%u)\n", what, where.file_name(),
                 static_cast<unsigned>(where.line()));
    __builtin_trap();
}

}  // namespace tarnvel::fuzz
