#pragma once
// The cheapest register access there is on the in-process route: a register ioctl, made as
// the program's register_read makes it, straight at a board that answers at once. What it
// costs is the route's own share of every access the program makes; the rest is the
// program's and the board model's.

#include <cstdint>

#include "sim/model/register_model.hpp"

namespace tarnvel::bench {

// Answers every register access at once: reads give 0.
class AnsweringBoard final : public sim::RegisterModel {
  public:
    int read(std::uint32_t, std::uint32_t& value) override {
        ++accesses_;
        value = 0;
        return 0;
    }
    int write(std::uint32_t, std::uint32_t) override {
        ++accesses_;
        return 0;
    }
    std::uint64_t accesses() const { return accesses_; }

  private:
    std::uint64_t accesses_ = 0;
};

// The calling thread's CPU time, in nanoseconds.
std::int64_t thread_cpu_nanos();

// Thread CPU time of `count` bare register reads on `fd`, which leads to an AnsweringBoard.
std::int64_t bare_route_nanos(int fd, std::uint64_t count);

// The same on a board of its own: the mean cost of one bare access, in nanoseconds.
double bare_access_nanos(std::uint64_t count);

}  // namespace tarnvel::bench
