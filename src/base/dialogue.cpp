#include "base/dialogue.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

#include "base/answer_line.hpp"
#include "base/internal_fault.hpp"
#include "base/output.hpp"

namespace tarnvel {
namespace {

Output& standard_output() {
    static Output out(STDOUT_FILENO);
    return out;
}

// Created at the first question; typed-ahead lines stay in it for the later questions.
AnswerReader& standard_input() {
    static AnswerReader in(STDIN_FILENO);
    return in;
}

}  // namespace

void setup_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Descriptors below fd are open by now, so open() hands out fd itself.
        const int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd < 0) {
            internal_fault(fmt::format("can't open /dev/null: {}", error_text(Error::os(errno))));
        }
        if (null_fd != fd) {
            ::dup2(null_fd, fd);
            ::close(null_fd);
        }
    }
    // A reader that has gone makes writes fail with EPIPE instead of killing the program.
    std::signal(SIGPIPE, SIG_IGN);
    standard_output().set_erase_overwritten_lines(::isatty(STDOUT_FILENO) == 1);
}

void print(Output& out, std::string_view text) {
    if (auto status = out.print(text); !status) {
        internal_fault(
            fmt::format("can't write to standard output: {}", error_text(status.error())));
    }
}

bool ask(Output& out, AnswerReader& in, std::string_view question) {
    print(out, fmt::format("{} (y/N): ", question));
    // The operator must see the question before we wait; if it can't go out now it goes out,
    // or fails, with the next line.
    (void)out.flush();
    return is_yes_answer(in.read_answer_line());
}

void print(std::string_view text) {
    print(standard_output(), text);
}

void flush_output() {
    (void)standard_output().flush();
}

bool ask(std::string_view question) {
    return ask(standard_output(), standard_input(), question);
}

}  // namespace tarnvel
