#pragma once
// The fast in-process route to a simulated board, for unit tests and benchmarks. Test binaries
// are linked with -Wl,--wrap=ioctl: the program's own register_read and register_write then
// reach the board model attached to their descriptor directly, with no kernel and no umockdev
// round trip; every other ioctl goes to the C library as usual.
//
// Binaries that also link with -Wl,--wrap=open,--wrap=close can attach a model to a path
// instead: every descriptor that the program's own open() gets for that path carries the
// model until it is closed, so open_board and everything after it run unchanged on the
// simulated board. The path is a real file (the board's node stand-in): open fails or succeeds
// on it as on a node, and a lock taken on it is a real lock.
//
// Binaries that link with -Wl,--wrap=clock_gettime,--wrap=clock_nanosleep can run the
// program's monotonic clock in simulated time (SimulatedClock): its sleeps return at once and
// move the clock on, so waits of seconds cost nothing and time limits are met exactly.
//
// Boards may be written at once, each on a thread of its own, as tarnvel-fw writes them: the
// descriptors, models and paths of different boards can be used from different threads at the
// same time (one board's model from one thread at a time), and every thread reads and moves
// the one simulated clock. Attaching and detaching happen where no access to that descriptor
// runs.

#include <chrono>
#include <string>
#include <string_view>

#include "sim/model/register_model.hpp"

namespace tarnvel::sim {

// Routes register ioctls on `fd` to `model` until detached.
void attach_in_process(int fd, RegisterModel* model);
void detach_in_process(int fd);

// A descriptor with a model attached, closed and detached when it goes out of scope: what a
// test passes as a board's fd.
class InProcessNode {
  public:
    explicit InProcessNode(RegisterModel& model);
    ~InProcessNode();
    InProcessNode(const InProcessNode&) = delete;
    InProcessNode& operator=(const InProcessNode&) = delete;
    int fd() const { return fd_; }
    // Gives up ownership of the descriptor (for example to a BoardDevice, which closes it);
    // the model stays attached to the number until this object is destroyed.
    int release() {
        released_ = true;
        return fd_;
    }

  private:
    int fd_;
    bool released_ = false;
};

// Whether this binary was linked with the open and close wraps that path attachment needs.
bool path_route_linked();

// While it lives, every descriptor that open() returns for exactly `path` (compared as
// written, not resolved) has `model` attached, until that descriptor is closed. Descriptors
// still open when it goes away are detached then. One attachment per path at a time.
class InProcessPath {
  public:
    InProcessPath(std::string path, RegisterModel& model);
    ~InProcessPath();
    InProcessPath(const InProcessPath&) = delete;
    InProcessPath& operator=(const InProcessPath&) = delete;

    const std::string& path() const { return path_; }
    // Points the path at another model; descriptors already open keep the one they got.
    void set_model(RegisterModel& model);

  private:
    std::string path_;
};

// While it lives, CLOCK_MONOTONIC as the program reads it (clock_gettime) and sleeps on it
// (clock_nanosleep) is simulated: it starts at the real reading, and a sleep returns at once
// after moving it to the sleep's end. Reading it never moves it, so the program's waits, which
// spin on the clock only while it moves, sleep on it instead. Simulated chips that are busy
// for a time keep it too. Other clocks stay real. One at a time.
//
// All threads share it. A sleep to an absolute time (the program's waits sleep so) moves it to
// that time unless another thread's sleep has moved it there already, so that boards waiting
// on several threads at once wait side by side; a relative sleep adds its length.
class SimulatedClock {
  public:
    SimulatedClock();
    ~SimulatedClock();
    SimulatedClock(const SimulatedClock&) = delete;
    SimulatedClock& operator=(const SimulatedClock&) = delete;

    // Simulated time since the clock was made: the sum of all sleeps.
    std::chrono::nanoseconds elapsed() const;
    // Whether this binary was linked with the clock wraps.
    static bool linked();
};

}  // namespace tarnvel::sim
