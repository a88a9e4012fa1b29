#pragma once
// Captures standard output: descriptor 1 points at a memory file while the capture lives. The
// dialogue buffers output for descriptor 1, so the capture flushes before reading and restoring.

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "base/dialogue.hpp"

namespace tarnvel::testing {

class StdoutCapture {
  public:
    StdoutCapture() : file_(::memfd_create("stdout", MFD_CLOEXEC)), saved_(::dup(1)) {
        flush_output();
        ::dup2(file_, 1);
    }
    ~StdoutCapture() {
        flush_output();
        ::dup2(saved_, 1);
        ::close(saved_);
        ::close(file_);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string text() const {
        flush_output();
        std::string bytes(static_cast<std::size_t>(::lseek(file_, 0, SEEK_END)), '\0');
        return bytes.substr(
            0, static_cast<std::size_t>(::pread(file_, bytes.data(), bytes.size(), 0)));
    }

  private:
    int file_;
    int saved_;
};

}  // namespace tarnvel::testing
