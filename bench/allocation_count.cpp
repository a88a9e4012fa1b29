#include "allocation_count.hpp"

#include <cstdlib>
#include <new>

namespace tarnvel::bench {
namespace {

std::uint64_t g_allocations = 0;

}  // namespace

std::uint64_t allocations() {
    return g_allocations;
}

}  // namespace tarnvel::bench

// Replaces the global operator new and delete; the other non-aligned forms (arrays, nothrow)
// call these.
void* operator new(std::size_t size) {
    ++tarnvel::bench::g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
