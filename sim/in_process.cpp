#include "sim/in_process.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

// The C library's functions behind the wraps. Weak: a binary linked without a wrap never
// calls the wrapper, and these stay unresolved (null) there.
extern "C" int __real_open(const char* path, int flags, ...) __attribute__((weak));
extern "C" int __real_close(int fd) __attribute__((weak));
extern "C" int __real_clock_gettime(clockid_t clock, timespec* now) __attribute__((weak));
extern "C" int __real_clock_nanosleep(clockid_t clock, int flags, const timespec* request,
                                      timespec* remain) __attribute__((weak));

namespace tarnvel::sim {
namespace {

constexpr int kMaxFd = 4096;
// Boards written at once each have a thread of their own, which opens, uses and closes the
// board's descriptors: a descriptor's entries are read by its own thread's accesses and written
// when it is opened, attached or closed. Atomic, so that a number the kernel hands out again
// after a close on another thread is seen with its new model.
std::array<std::atomic<RegisterModel*>, kMaxFd> g_models{};
// For a descriptor whose model came with the path it was opened by, that attachment: the
// descriptor is detached when it is closed or when the attachment ends.
std::array<std::atomic<const InProcessPath*>, kMaxFd> g_opened_by{};

struct PathModel {
    const InProcessPath* owner;
    RegisterModel* model;
};
std::mutex g_paths_mutex;
std::vector<PathModel> g_paths;  // under g_paths_mutex

bool valid_fd(int fd) {
    return fd >= 0 && fd < kMaxFd;
}

// The model attached to `path`, or null. Under g_paths_mutex.
RegisterModel* model_of_path(std::string_view path, const InProcessPath** owner) {
    for (const PathModel& entry : g_paths) {
        if (entry.owner->path() == path) {
            *owner = entry.owner;
            return entry.model;
        }
    }
    return nullptr;
}

// The simulated monotonic clock, in nanoseconds, when one is running (g_clock_running). Every
// thread reads and moves the same clock: a sleep to an absolute time moves it to that time
// unless it is there already, so that boards written at once on several threads wait side by
// side, as on a machine, and the clock shows the latest end any of them slept to.
std::atomic<bool> g_clock_running{false};
std::atomic<std::int64_t> g_clock_now{0};
std::chrono::nanoseconds g_clock_start{};

std::chrono::nanoseconds to_duration(const timespec& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

timespec to_timespec(std::chrono::nanoseconds t) {
    constexpr long long kNanosPerSecond = 1'000'000'000;
    return timespec{static_cast<time_t>(t.count() / kNanosPerSecond),
                    static_cast<long>(t.count() % kNanosPerSecond)};
}

}  // namespace

void attach_in_process(int fd, RegisterModel* model) {
    if (!valid_fd(fd)) throw std::out_of_range("in-process route: descriptor too large");
    g_opened_by[static_cast<std::size_t>(fd)].store(nullptr);
    g_models[static_cast<std::size_t>(fd)].store(model);
}

void detach_in_process(int fd) {
    if (!valid_fd(fd)) return;
    g_models[static_cast<std::size_t>(fd)].store(nullptr);
    g_opened_by[static_cast<std::size_t>(fd)].store(nullptr);
}

InProcessNode::InProcessNode(RegisterModel& model) : fd_(::open("/dev/null", O_RDWR | O_CLOEXEC)) {
    if (fd_ == -1) throw std::runtime_error("in-process route: cannot open /dev/null");
    attach_in_process(fd_, &model);
}

InProcessNode::~InProcessNode() {
    detach_in_process(fd_);
    if (!released_) ::close(fd_);
}

bool path_route_linked() {
    return __real_open != nullptr && __real_close != nullptr;
}

InProcessPath::InProcessPath(std::string path, RegisterModel& model) : path_(std::move(path)) {
    if (!path_route_linked()) {
        throw std::logic_error("in-process route: binary not linked with --wrap=open,--wrap=close");
    }
    const std::lock_guard lock(g_paths_mutex);
    const InProcessPath* owner = nullptr;
    if (model_of_path(path_, &owner) != nullptr) {
        throw std::logic_error("in-process route: path already attached: " + path_);
    }
    g_paths.push_back({this, &model});
}

InProcessPath::~InProcessPath() {
    const std::lock_guard lock(g_paths_mutex);
    std::erase_if(g_paths, [this](const PathModel& entry) { return entry.owner == this; });
    for (std::size_t fd = 0; fd < g_opened_by.size(); ++fd) {
        if (g_opened_by[fd].load() == this) detach_in_process(static_cast<int>(fd));
    }
}

void InProcessPath::set_model(RegisterModel& model) {
    const std::lock_guard lock(g_paths_mutex);
    for (PathModel& entry : g_paths) {
        if (entry.owner == this) entry.model = &model;
    }
}

SimulatedClock::SimulatedClock() {
    if (!linked()) {
        throw std::logic_error(
            "in-process route: binary not linked with --wrap=clock_gettime,--wrap=clock_nanosleep");
    }
    if (g_clock_running.load()) {
        throw std::logic_error("in-process route: a simulated clock already runs");
    }
    timespec now{};
    __real_clock_gettime(CLOCK_MONOTONIC, &now);
    g_clock_start = to_duration(now);
    g_clock_now.store(g_clock_start.count());
    g_clock_running.store(true);
}

SimulatedClock::~SimulatedClock() {
    g_clock_running.store(false);
}

std::chrono::nanoseconds SimulatedClock::elapsed() const {
    return std::chrono::nanoseconds(g_clock_now.load()) - g_clock_start;
}

bool SimulatedClock::linked() {
    return __real_clock_gettime != nullptr && __real_clock_nanosleep != nullptr;
}

}  // namespace tarnvel::sim

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

// Replaces ioctl in binaries linked with -Wl,--wrap=ioctl.
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (tarnvel::sim::valid_fd(fd)) {
        if (auto* model = tarnvel::sim::g_models[static_cast<std::size_t>(fd)].load(
                std::memory_order_acquire)) {
            int err = tarnvel::sim::serve_register_request(
                *model, request, *static_cast<tarnvel::RegisterRequest*>(arg));
            if (err == 0) return 0;
            errno = err;
            return -1;
        }
    }
    return __real_ioctl(fd, request, arg);
}

// Replaces open in binaries linked with -Wl,--wrap=open: a descriptor opened by an attached
// path gets that path's model; a number reused from a closed path descriptor loses its model.
extern "C" int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    const int fd = __real_open(path, flags, mode);
    if (!tarnvel::sim::valid_fd(fd)) return fd;
    const auto slot = static_cast<std::size_t>(fd);
    const std::lock_guard lock(tarnvel::sim::g_paths_mutex);
    const tarnvel::sim::InProcessPath* owner = nullptr;
    if (auto* model = tarnvel::sim::model_of_path(path, &owner)) {
        tarnvel::sim::g_opened_by[slot].store(owner);
        tarnvel::sim::g_models[slot].store(model);
    } else if (tarnvel::sim::g_opened_by[slot].load() != nullptr) {
        tarnvel::sim::detach_in_process(fd);
    }
    return fd;
}

// Replaces close in binaries linked with -Wl,--wrap=close.
extern "C" int __wrap_close(int fd) {
    if (tarnvel::sim::valid_fd(fd) &&
        tarnvel::sim::g_opened_by[static_cast<std::size_t>(fd)].load() != nullptr) {
        tarnvel::sim::detach_in_process(fd);
    }
    return __real_close(fd);
}

// Replaces clock_gettime in binaries linked with -Wl,--wrap=clock_gettime.
extern "C" int __wrap_clock_gettime(clockid_t clock, timespec* now) {
    if (clock == CLOCK_MONOTONIC && tarnvel::sim::g_clock_running.load()) {
        const std::chrono::nanoseconds simulated(tarnvel::sim::g_clock_now.load());
        *now = tarnvel::sim::to_timespec(simulated);
        return 0;
    }
    return __real_clock_gettime(clock, now);
}

// Replaces clock_nanosleep in binaries linked with -Wl,--wrap=clock_nanosleep.
extern "C" int __wrap_clock_nanosleep(clockid_t clock, int flags, const timespec* request,
                                      timespec* remain) {
    if (clock == CLOCK_MONOTONIC && tarnvel::sim::g_clock_running.load()) {
        auto& now = tarnvel::sim::g_clock_now;
        const std::int64_t end = tarnvel::sim::to_duration(*request).count();
        if ((flags & TIMER_ABSTIME) != 0) {
            std::int64_t seen = now.load();
            while (seen < end && !now.compare_exchange_weak(seen, end)) {
            }
        } else {
            now.fetch_add(end);
        }
        return 0;
    }
    return __real_clock_nanosleep(clock, flags, request, remain);
}
