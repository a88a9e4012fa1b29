#pragma once
// Where tarnvel-fw says what: results on standard output (through the line-buffered output of
// the library, so that a failed write is an internal fault), and everything meant for the
// person at the console on standard error: notices, questions, the progress bar.

#include <functional>
#include <string_view>

namespace tarnvel::fw {

// A result line or document on standard output.
void report(std::string_view text);

// A notice on standard error, written at once; a failed write is ignored. While a progress
// screen is shown, it goes through the screen, above its lines, from whichever thread it
// comes (a board's journal problem, for one), so that the next redraw does not erase it.
void notice(std::string_view text);

// While an object of this class lives, notices go through `route` instead (the first object
// made wins; the others route nothing). For the progress screen.
class NoticeRoute {
  public:
    explicit NoticeRoute(std::function<void(std::string_view)> route);
    ~NoticeRoute();
    NoticeRoute(const NoticeRoute&) = delete;
    NoticeRoute& operator=(const NoticeRoute&) = delete;

  private:
    std::function<void(std::string_view)> route_;
    bool routing_ = false;
};

// Prints "{question} (y/N): " on standard error and answers yes only for a "y" line on
// standard input; end of input answers no.
bool ask_operator(std::string_view question);
// Ends the questions, from any thread: the one being waited for is answered no, and so is
// every later one.
void end_questions();

// Whether standard error is a terminal (where the progress bar is drawn).
bool stderr_is_terminal();
// The width of that terminal in columns now, or 0 when it does not say.
unsigned stderr_columns();
// Its height in lines now, or 0 when it does not say.
unsigned stderr_rows();

}  // namespace tarnvel::fw
