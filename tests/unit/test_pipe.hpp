#pragma once
// A pipe for the dialogue tests: the program side writes or reads one end, the test the other.

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace tarnvel::testing {

class TestPipe {
  public:
    TestPipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
        // The test never waits for bytes that are not there.
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    ~TestPipe() {
        close_read();
        close_write();
    }
    TestPipe(const TestPipe&) = delete;
    TestPipe& operator=(const TestPipe&) = delete;

    int read_fd() const { return fds_[0]; }
    int write_fd() const { return fds_[1]; }

    void write_all(std::string_view bytes) const {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fds_[1], bytes.data(), bytes.size());
            if (n <= 0) return;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    // Everything written so far and not yet taken out.
    std::string drain() const {
        std::string bytes;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(fds_[0], chunk, sizeof chunk)) > 0) {
            bytes.append(chunk, static_cast<std::size_t>(n));
        }
        return bytes;
    }
    void close_read() {
        if (fds_[0] != -1) ::close(fds_[0]);
        fds_[0] = -1;
    }
    void close_write() {
        if (fds_[1] != -1) ::close(fds_[1]);
        fds_[1] = -1;
    }

  private:
    int fds_[2] = {-1, -1};
};

}  // namespace tarnvel::testing
