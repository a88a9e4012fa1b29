#pragma once
// Where tarnvel-fw says what: results on standard output (through the line-buffered output of
// the library, so that a failed write is an internal fault), and everything meant for the
// person at the console on standard error: notices, questions, the progress bar.

#include <string_view>

namespace tarnvel::fw {

// A result line or document on standard output.
void report(std::string_view text);

// A notice on standard error, written at once; a failed write is ignored.
void notice(std::string_view text);

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
