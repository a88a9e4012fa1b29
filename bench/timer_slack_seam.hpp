#pragma once
// The benchmark binary is linked with -Wl,--wrap=prctl, so that the update can be timed as it
// would run without its fine timer slack: while a KeepTimerSlack lives, requests to set the
// thread's timer slack are answered as done and change nothing. Every other prctl goes
// through. Single-threaded use only.

namespace tarnvel::bench {

class KeepTimerSlack {
  public:
    KeepTimerSlack();
    ~KeepTimerSlack();
    KeepTimerSlack(const KeepTimerSlack&) = delete;
    KeepTimerSlack& operator=(const KeepTimerSlack&) = delete;
};

// The calling thread's timer slack in nanoseconds, and setting it (bypassing KeepTimerSlack).
unsigned long thread_timer_slack();
void set_thread_timer_slack(unsigned long nanos);

}  // namespace tarnvel::bench
