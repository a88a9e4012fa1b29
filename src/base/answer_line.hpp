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
    // The most one answer may take: far longer than any answer anyone types, so that a line
    // that never ends (standard input on /dev/zero) costs neither memory nor time without end.
    static constexpr std::size_t kLineLimit = 65536;

    explicit AnswerReader(int fd, std::size_t line_limit = kLineLimit)
        : fd_(fd), line_limit_(line_limit == 0 ? 1 : line_limit) {}
    AnswerReader(const AnswerReader&) = delete;
    AnswerReader& operator=(const AnswerReader&) = delete;

    // One line up to and including its line feed, or what came before end of input or a read
    // failure. A line that is not valid UTF-8 comes back empty (its bytes stay consumed).
    //
    // A line whose first `line_limit` bytes hold no line feed is overlong: it comes back empty
    // (an answer no) after exactly that many of its bytes, and the next call first passes over
    // the rest of it, again at most `line_limit` bytes, before it reads the line after it. A
    // rest that does not end within them answers that call empty too; one that ends with the
    // input (or a read failure) answers it empty as the end of input would.
    std::string read_answer_line();

    // From now on the input also ends once `fd` is readable (an eventfd set when the operator
    // asks the run to stop): an answer being waited for then comes back as the end of input
    // would, and so does every later one that is not already read.
    void end_input_when_readable(int fd) { end_fd_ = fd; }

  private:
    // Reads the next chunk into the empty buffer; false at end of input or on a read failure.
    bool refill();
    // The unread bytes, at most `room` of them, up to and including the first line feed among
    // them, are consumed and handed to `take`; true when they ended with a line feed.
    template <class Take>
    bool consume_up_to_line_feed(std::size_t room, Take take);
    // Passes over the rest of an overlong line; true once its line feed has been passed.
    bool skip_rest_of_line();

    int fd_;
    int end_fd_ = -1;
    std::size_t line_limit_;
    bool in_overlong_line_ = false;
    std::array<char, kBufferSize> buffer_{};
    std::size_t begin_ = 0;  // first unread byte
    std::size_t end_ = 0;    // one past the last unread byte
};

// Yes only for a line that is "y" once lower-cased and stripped of Unicode white space at both
// ends.
bool is_yes_answer(std::string_view line);

}  // namespace tarnvel
