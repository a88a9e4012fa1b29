#pragma once
// Line-buffered text output over a file descriptor, whatever the descriptor leads to (terminal,
// pipe or file): a print that holds a line break sends everything up to and including the last
// line break; text after it waits for a later line break or an explicit flush.

#include <string>
#include <string_view>

#include "base/error.hpp"

namespace tarnvel {

class Output {
  public:
    explicit Output(int fd) : fd_(fd) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Buffers the text and, if it holds a line break, writes out the buffer up to and including
    // the last line break. On a failed write the error number comes back; what was not written
    // stays buffered.
    Status print(std::string_view text);
    // Writes out everything buffered. On failure the unwritten rest stays buffered.
    Status flush();

    // On a terminal, a line that begins with a carriage return overwrites the line before it
    // (the progress line) only as far as it reaches; what sticks out of the longer line stays
    // on screen. With this set, every carriage return is followed by the terminal's
    // erase-to-end-of-line, so the line is cleared before it is written again. For terminals
    // only: bytes to a pipe or a file stay exactly as printed.
    void set_erase_overwritten_lines(bool erase) { erase_overwritten_lines_ = erase; }

    // Text waiting for a line break or a flush.
    std::string_view pending() const { return pending_; }

  private:
    // Writes the first `count` buffered bytes, resuming after partial writes and interruptions.
    Status write_front(std::size_t count);

    int fd_;
    bool erase_overwritten_lines_ = false;
    std::string pending_;
};

// Writes `text` to standard error at once, unbuffered: a diagnostic must not wait in, or depend
// on, the buffer of standard output. Resumes after partial writes and interruptions; gives up
// silently on any other failure, where there is nobody left to tell.
void write_to_stderr(std::string_view text);

}  // namespace tarnvel
