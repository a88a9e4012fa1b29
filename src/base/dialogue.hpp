#pragma once
// The operator dialogue: standard streams and the yes/no question.
// Standard output is line-buffered whatever it is connected to: text goes out up to and
// including the last line break written; a question or a progress line is flushed explicitly.

#include <string_view>

namespace tarnvel {

class Output;
class AnswerReader;

// Opens /dev/null on any of descriptors 0-2 that is closed and ignores SIGPIPE; on a terminal,
// lines that overwrite the progress line clear it first. Called first thing in main.
void setup_standard_streams();

// Prints text on standard output. A failed write is an internal fault (exit status 101).
void print(std::string_view text);
// Sends out what the output buffer holds; a failure is ignored (the text stays buffered).
void flush_output();

// Prints "{question} (y/N): ", reads one answer line, and answers yes only for "y" (after
// lower-casing and trimming white space). Never fails: end of input answers no.
bool ask(std::string_view question);

// The same operations on given streams; the ones above use standard output and standard input.
void print(Output& out, std::string_view text);
bool ask(Output& out, AnswerReader& in, std::string_view question);

}  // namespace tarnvel
