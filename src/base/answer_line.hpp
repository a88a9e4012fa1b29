#pragma once
// The operator's answer lines: one input buffer over a descriptor that lives for the whole run,
// so that lines typed ahead answer the later questions in order, and the yes/no judgement.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace tarnvel {

class AnswerReader {
  public:
    static constexpr std::size_t kBufferSize = 8192;

    explicit AnswerReader(int fd) : fd_(fd) {}
    AnswerReader(const AnswerReader&) = delete;
    AnswerReader& operator=(const AnswerReader&) = delete;

    // One line up to and including its line feed, or what came before end of input or a read
    // failure. A line that is not valid UTF-8 comes back empty (its bytes stay consumed).
    std::string read_answer_line();

  private:
    // Reads the next chunk into the empty buffer; false at end of input or on a read failure.
    bool refill();

    int fd_;
    std::array<char, kBufferSize> buffer_{};
    std::size_t begin_ = 0;  // first unread byte
    std::size_t end_ = 0;    // one past the last unread byte
};

// Yes only for a line that is "y" once lower-cased and stripped of Unicode white space at both
// ends.
bool is_yes_answer(std::string_view line);

}  // namespace tarnvel
