// The operator's answer lines: AnswerReader over a descriptor that holds the fuzz input, and
// is_yes_answer on every line it returns.
//
// Input layout: bit 0 of byte 0 picks the descriptor (0: a memfd, read like a redirected file;
// 1: a packet socket, which hands out one packet per read like a terminal hands out one typed
// line). For the socket, bit 1 keeps its sending side open and makes reads fail with EAGAIN
// once the packets are used up, standing for a read failure; byte 1 gives how many packet
// sizes follow (0 to 31), then those sizes, one byte each; a size of 0 is an empty packet,
// which the reader sees as end of input, like the end-of-input key on a terminal. The bytes
// after them are the data: cut into packets of the given sizes, the rest in packets of the
// reader's buffer size. Bits 2 to 7 of byte 0 give the reader's line limit (1 to 63), or leave
// the program's own when they are 0.
//
// The expected lines come from the data alone: a line ends after a line feed, or at an end of
// input or a read failure (neither part of the line); once the data is used up every line is
// empty; a line that is not UTF-8 comes back empty. A line whose first `limit` bytes hold no
// line feed comes back empty after those bytes; the next line first passes over its rest, at
// most `limit` bytes: if the rest goes on past them that line is empty too, if an end of input
// ends it that line is empty, and if a line feed ends it the line after it is read.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/answer_line.hpp"
#include "fuzz_check.hpp"
#include "utf8_oracle.hpp"

namespace {

using tarnvel::AnswerReader;
using tarnvel::fuzz::check;

// One read's worth of input; an empty chunk is an end of input in the middle of the stream.
using Chunks = std::vector<std::string_view>;

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A memfd holding the data, read from its start.
bool open_file(std::string_view data, Descriptor& reader) {
    reader.fd = ::memfd_create("answers", MFD_CLOEXEC);
    return reader.fd >= 0 && write_all(reader.fd, data) && ::lseek(reader.fd, 0, SEEK_SET) == 0;
}

// A packet socket holding the chunks, one packet each. Reads past the last packet see end of
// input once the sending side is shut; while it stays open, they fail with EAGAIN.
bool open_packets(const Chunks& chunks, bool keep_open, Descriptor& reader, Descriptor& writer) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
    reader.fd = pair[0];
    writer.fd = pair[1];
    // Never wait: input that would not fit in the socket buffer is skipped.
    ::fcntl(writer.fd, F_SETFL, O_NONBLOCK);
    for (const auto chunk : chunks) {
        if (::write(writer.fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
            return false;
        }
    }
    if (keep_open) return ::fcntl(reader.fd, F_SETFL, O_NONBLOCK) == 0;
    return ::shutdown(writer.fd, SHUT_WR) == 0;
}

Chunks cut_into_packets(std::string_view sizes, std::string_view data) {
    Chunks chunks;
    for (const char size : sizes) {
        const std::size_t take =
            std::min<std::size_t>(static_cast<unsigned char>(size), data.size());
        chunks.push_back(data.substr(0, take));
        data.remove_prefix(take);
    }
    while (!data.empty()) {
        const std::size_t take = std::min(AnswerReader::kBufferSize, data.size());
        chunks.push_back(data.substr(0, take));
        data.remove_prefix(take);
    }
    return chunks;
}

// The reader as the data alone describes it: the chunks as a stream of bytes and ends of input
// (an empty chunk), with ends of input for ever after the last chunk.
class ExpectedLines {
  public:
    ExpectedLines(const Chunks& chunks, std::size_t limit) : limit_(limit) {
        for (const auto chunk : chunks) {
            if (chunk.empty()) {
                stream_.push_back(kEnd);
                continue;
            }
            for (const char c : chunk) stream_.push_back(static_cast<unsigned char>(c));
        }
    }

    // Whether a line might still bring something other than an end of input.
    bool more() const { return next_ < stream_.size() || in_overlong_line_; }

    // The raw line, before the UTF-8 check.
    std::string next_line() {
        if (in_overlong_line_ && !skip_rest()) return {};
        std::string line;
        for (;;) {
            if (line.size() == limit_) {
                in_overlong_line_ = true;
                return {};
            }
            const int token = take();
            if (token == kEnd) return line;
            line.push_back(static_cast<char>(token));
            if (token == '\n') return line;
        }
    }

  private:
    static constexpr int kEnd = -1;

    int take() { return next_ < stream_.size() ? stream_[next_++] : kEnd; }

    bool skip_rest() {
        for (std::size_t skipped = 0; skipped < limit_; ++skipped) {
            const int token = take();
            if (token == kEnd || token == '\n') {
                in_overlong_line_ = false;
                return token == '\n';
            }
        }
        return false;
    }

    std::vector<int> stream_;
    std::size_t next_ = 0;
    std::size_t limit_;
    bool in_overlong_line_ = false;
};

bool is_unicode_white_space(char32_t c) {
    static constexpr char32_t kSingles[] = {0x20,   0x85,   0xA0,   0x1680, 0x2028,
                                            0x2029, 0x202F, 0x205F, 0x3000};
    if ((c >= 0x09 && c <= 0x0D) || (c >= 0x2000 && c <= 0x200A)) return true;
    return std::find(std::begin(kSingles), std::end(kSingles), c) != std::end(kSingles);
}

// Yes only for a lone "y" or "Y" between any amount of Unicode white space.
bool expected_yes(std::string_view line) {
    const auto points = tarnvel::fuzz::code_points(line);
    if (!points) return false;
    std::u32string_view text = *points;
    while (!text.empty() && is_unicode_white_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_unicode_white_space(text.back())) text.remove_suffix(1);
    return text == U"y" || text == U"Y";
}

void check_line(const std::string& got, const std::string& raw, std::size_t limit) {
    check(got.size() <= limit, "a line holds more bytes than the limit");
    const auto feed = got.find('\n');
    check(feed == std::string::npos || feed + 1 == got.size(), "a line goes on past a line feed");
    const bool utf8 = tarnvel::fuzz::is_well_formed_utf8(raw);
    check(got == (utf8 ? raw : std::string{}), "line differs from the input up to its end");
    check(tarnvel::is_yes_answer(got) == expected_yes(got), "yes/no judged wrongly");
    check(tarnvel::is_yes_answer(raw) == expected_yes(raw), "yes/no judged wrongly on raw bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(bytes), size);
    if (input.empty()) return -1;
    const bool packets = (input.front() & 1) != 0;
    const bool keep_open = (input.front() & 2) != 0;
    const std::size_t small_limit = static_cast<unsigned char>(input.front()) >> 2;
    const std::size_t limit = small_limit != 0 ? small_limit : AnswerReader::kLineLimit;
    input.remove_prefix(1);

    Chunks chunks;
    Descriptor reader;
    Descriptor writer;
    if (packets) {
        std::size_t count = input.empty() ? 0 : static_cast<unsigned char>(input.front()) % 32;
        if (!input.empty()) input.remove_prefix(1);
        count = std::min(count, input.size());
        chunks = cut_into_packets(input.substr(0, count), input.substr(count));
        input.remove_prefix(count);
        if (!open_packets(chunks, keep_open, reader, writer)) return -1;
    } else {
        if (!input.empty()) chunks.push_back(input);
        if (!open_file(input, reader)) return -1;
    }

    AnswerReader answers(reader.fd, limit);
    ExpectedLines expected(chunks, limit);
    while (expected.more()) {
        const std::string raw = expected.next_line();
        check_line(answers.read_answer_line(), raw, limit);
    }
    // Used up: end of input (or the failing read) answers every further question, and stays so.
    for (int i = 0; i < 2; ++i) {
        check(answers.read_answer_line().empty(), "a line after the end of the input");
    }
    return 0;
}
