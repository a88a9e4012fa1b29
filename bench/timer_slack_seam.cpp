#include "timer_slack_seam.hpp"

#include <sys/prctl.h>

#include <cstdarg>

extern "C" int __real_prctl(int option, ...);

namespace tarnvel::bench {
namespace {

bool g_keep_slack = false;

}  // namespace

KeepTimerSlack::KeepTimerSlack() {
    g_keep_slack = true;
}

KeepTimerSlack::~KeepTimerSlack() {
    g_keep_slack = false;
}

unsigned long thread_timer_slack() {
    const int slack = __real_prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    return slack > 0 ? static_cast<unsigned long>(slack) : 0UL;
}

void set_thread_timer_slack(unsigned long nanos) {
    __real_prctl(PR_SET_TIMERSLACK, nanos, 0UL, 0UL, 0UL);
}

}  // namespace tarnvel::bench

// Replaces prctl in the benchmark binary. prctl takes up to four further arguments, all
// passed as unsigned long, as the C library's own implementation reads them.
extern "C" int __wrap_prctl(int option, ...) {
    va_list args;
    va_start(args, option);
    const unsigned long arg2 = va_arg(args, unsigned long);
    const unsigned long arg3 = va_arg(args, unsigned long);
    const unsigned long arg4 = va_arg(args, unsigned long);
    const unsigned long arg5 = va_arg(args, unsigned long);
    va_end(args);
    if (option == PR_SET_TIMERSLACK && tarnvel::bench::g_keep_slack) return 0;
    return __real_prctl(option, arg2, arg3, arg4, arg5);
}
