#include "bare_access.hpp"

#include <benchmark/benchmark.h>
#include <sys/ioctl.h>
#include <time.h>

#include "device/register_channel.hpp"
#include "sim/in_process.hpp"

namespace tarnvel::bench {

std::int64_t thread_cpu_nanos() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

std::int64_t bare_route_nanos(int fd, std::uint64_t count) {
    const std::int64_t start = thread_cpu_nanos();
    for (std::uint64_t i = 0; i < count; ++i) {
        RegisterRequest request{kRegisterOpRead, 0x86, 0, 0};
        ::ioctl(fd, kRegisterIoctl, &request);
        benchmark::DoNotOptimize(request);
    }
    return thread_cpu_nanos() - start;
}

double bare_access_nanos(std::uint64_t count) {
    AnsweringBoard board;
    const sim::InProcessNode node(board);
    return static_cast<double>(bare_route_nanos(node.fd(), count)) / static_cast<double>(count);
}

}  // namespace tarnvel::bench
