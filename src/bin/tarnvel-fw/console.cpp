#include "bin/tarnvel-fw/console.hpp"

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

bool ask_operator(std::string_view question) {
    static Output questions(STDERR_FILENO);
    // One buffer for the whole run: answers typed ahead answer the later questions in order.
    static AnswerReader answers(STDIN_FILENO);
    return ask(questions, answers, question);
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
