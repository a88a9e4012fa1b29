#include "sim/in_process.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <stdexcept>

namespace tarnvel::sim {
namespace {

constexpr int kMaxFd = 4096;
std::array<RegisterModel*, kMaxFd> g_models{};

}  // namespace

void attach_in_process(int fd, RegisterModel* model) {
    if (fd < 0 || fd >= kMaxFd) throw std::out_of_range("in-process route: descriptor too large");
    g_models[static_cast<std::size_t>(fd)] = model;
}

void detach_in_process(int fd) {
    if (fd >= 0 && fd < kMaxFd) g_models[static_cast<std::size_t>(fd)] = nullptr;
}

InProcessNode::InProcessNode(RegisterModel& model) : fd_(::open("/dev/null", O_RDWR | O_CLOEXEC)) {
    if (fd_ == -1) throw std::runtime_error("in-process route: cannot open /dev/null");
    attach_in_process(fd_, &model);
}

InProcessNode::~InProcessNode() {
    detach_in_process(fd_);
    if (!released_) ::close(fd_);
}

}  // namespace tarnvel::sim

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

// Replaces ioctl in binaries linked with -Wl,--wrap=ioctl.
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (fd >= 0 && fd < tarnvel::sim::kMaxFd) {
        if (auto* model = tarnvel::sim::g_models[static_cast<std::size_t>(fd)]) {
            int err = tarnvel::sim::serve_register_request(
                *model, request, *static_cast<tarnvel::RegisterRequest*>(arg));
            if (err == 0) return 0;
            errno = err;
            return -1;
        }
    }
    return __real_ioctl(fd, request, arg);
}
