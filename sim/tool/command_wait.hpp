#pragma once
// tarnvel-sim waits for its command as a shell waits for a foreground job, and hears the
// signals that cut the machine's power meanwhile.
//
// SIGTERM, SIGHUP and SIGINT sent to tarnvel-sim are a power cut. They are blocked from the
// start in every thread (the testbed's threads start later and inherit that), so that only the
// wait takes them; one that is ignored when tarnvel-sim starts (as under nohup) stays ignored.
// The command runs in a process group of its own, which has the terminal while it runs: the
// terminal's ^C, ^Z and quit key are its to handle. Stopped by the terminal, it stops
// tarnvel-sim too, so that the shell gets its terminal back; continued, tarnvel-sim gives the
// terminal back to it and continues it.

#include <signal.h>
#include <sys/types.h>

namespace tarnvel::sim {

class CommandWait {
  public:
    // Blocks the signals: make it before any thread starts.
    CommandWait();
    CommandWait(const CommandWait&) = delete;
    CommandWait& operator=(const CommandWait&) = delete;

    struct End {
        // The command's exit status, 128 + the signal's number when a signal ended it.
        int status = 0;
        // Or, the command still running, the power-cut signal that came first.
        int signal = 0;
    };
    End wait(pid_t command) const;
    // The status of the command once it has been killed.
    static int reap(pid_t command);
    // Ends tarnvel-sim by `signal`, as the signal would have without being waited for: its
    // caller learns what ended it.
    [[noreturn]] static void end_by(int signal);

  private:
    sigset_t waited_;
};

}  // namespace tarnvel::sim
