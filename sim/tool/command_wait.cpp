#include "sim/tool/command_wait.hpp"

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sim/testbed/sandbox.hpp"

namespace tarnvel::sim {
namespace {

constexpr int kCutSignals[] = {SIGTERM, SIGHUP, SIGINT};

int status_of(int wait_status) {
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return WEXITSTATUS(wait_status);
}

// Whether the terminal's job control stopped the command: ^Z, or a read or write of the
// terminal from the background.
bool stopped_by_terminal(int wait_status) {
    const int signal = WSTOPSIG(wait_status);
    return (signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU) && ::isatty(STDIN_FILENO);
}

// tarnvel-sim stops beside its command, so that the shell, which knows only tarnvel-sim, takes
// the terminal back and lists the job as stopped. Once continued, in the foreground (fg) it
// hands the terminal on to the command again; either way it continues the command.
void stop_beside(pid_t command) {
    if (::tcgetpgrp(STDIN_FILENO) == command) take_back_terminal();
    ::kill(::getpid(), SIGSTOP);
    if (::tcgetpgrp(STDIN_FILENO) == ::getpgrp()) give_terminal(command);
    ::kill(-command, SIGCONT);
}

}  // namespace

CommandWait::CommandWait() {
    ::sigemptyset(&waited_);
    for (int signal : kCutSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            ::sigaddset(&waited_, signal);
        }
    }
    // The command's end comes as SIGCHLD; ignored, the kernel would reap it unseen.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &default_action, nullptr);
    ::sigaddset(&waited_, SIGCHLD);
    ::pthread_sigmask(SIG_BLOCK, &waited_, nullptr);
}

CommandWait::End CommandWait::wait(pid_t command) const {
    // The terminal's quit key reaches the command's group alone; a SIGQUIT sent to tarnvel-sim
    // itself is left unheeded while the command runs.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_quit {};
    ::sigaction(SIGQUIT, &ignore, &old_quit);
    End end;
    for (bool ended = false; !ended;) {
        const int signal = ::sigwaitinfo(&waited_, nullptr);
        if (signal > 0 && signal != SIGCHLD) {
            end.signal = signal;
            break;
        }
        // One SIGCHLD may stand for a stop and the end after it.
        int status = 0;
        while (!ended && ::waitpid(command, &status, WNOHANG | WUNTRACED) == command) {
            if (!WIFSTOPPED(status)) {
                end.status = status_of(status);
                ended = true;
            } else if (stopped_by_terminal(status)) {
                stop_beside(command);
            }
        }
    }
    ::sigaction(SIGQUIT, &old_quit, nullptr);
    return end;
}

int CommandWait::reap(pid_t command) {
    int status = 0;
    while (::waitpid(command, &status, 0) < 0 && errno == EINTR) {
    }
    return status_of(status);
}

void CommandWait::end_by(int signal) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(signal, &default_action, nullptr);
    sigset_t only;
    ::sigemptyset(&only);
    ::sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    std::_Exit(128 + signal);
}

}  // namespace tarnvel::sim
