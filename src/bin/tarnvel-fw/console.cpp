#include "bin/tarnvel-fw/console.hpp"

#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mutex>
#include <utility>

#include "base/answer_line.hpp"
#include "base/dialogue.hpp"
#include "base/output.hpp"

namespace tarnvel::fw {

void report(std::string_view text) {
    print(text);
}

namespace {

// The route of the notices while a progress screen is shown; held while a notice goes through
// it, so that the screen is not taken away meanwhile.
std::mutex g_route_mutex;
const std::function<void(std::string_view)>* g_route = nullptr;

}  // namespace

void notice(std::string_view text) {
    const std::lock_guard lock(g_route_mutex);
    if (g_route != nullptr) {
        (*g_route)(text);
    } else {
        write_to_stderr(text);
    }
}

NoticeRoute::NoticeRoute(std::function<void(std::string_view)> route) : route_(std::move(route)) {
    const std::lock_guard lock(g_route_mutex);
    if (g_route == nullptr) {
        g_route = &route_;
        routing_ = true;
    }
}

NoticeRoute::~NoticeRoute() {
    const std::lock_guard lock(g_route_mutex);
    if (routing_) g_route = nullptr;
}

namespace {

// Set once the questions end; -1 where the machine gives no eventfd, and the question waits for
// its answer as before.
int questions_ended_fd() {
    static const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

}  // namespace

bool ask_operator(std::string_view question) {
    static Output questions(STDERR_FILENO);
    // One buffer for the whole run: answers typed ahead answer the later questions in order.
    static AnswerReader answers(STDIN_FILENO);
    static const bool ends = (answers.end_input_when_readable(questions_ended_fd()), true);
    (void)ends;
    return ask(questions, answers, question);
}

void end_questions() {
    if (const int fd = questions_ended_fd(); fd >= 0) (void)::eventfd_write(fd, 1);
}

bool stderr_is_terminal() {
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

unsigned stderr_columns() {
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

unsigned stderr_rows() {
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_row : 0;
}

}  // namespace tarnvel::fw
