#include "sim/testbed/reboot_listener.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tarnvel::sim {
namespace {

// A writer that connects and then says nothing is given up after this long.
constexpr timeval kRequestTimeout{.tv_sec = 10, .tv_usec = 0};
constexpr std::size_t kMaxRequest = 4096;

}  // namespace

Result<std::unique_ptr<RebootListener>> RebootListener::start(std::filesystem::path socket_path,
                                                              Handler handler) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socket_path.string();
    if (path.size() >= sizeof address.sun_path) return std::unexpected(Error::os(ENAMETOOLONG));
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listening < 0) return std::unexpected(Error::os(errno));
    if (::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listening, 16) != 0) {
        const int error = errno;
        ::close(listening);
        return std::unexpected(Error::os(error));
    }
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    if (stop < 0) {
        const int error = errno;
        ::close(listening);
        ::unlink(path.c_str());
        return std::unexpected(Error::os(error));
    }
    return std::unique_ptr<RebootListener>(
        new RebootListener(std::move(socket_path), listening, stop, std::move(handler)));
}

RebootListener::RebootListener(std::filesystem::path socket_path, int listening, int stop,
                               Handler handler)
    : socket_path_(std::move(socket_path)),
      listening_(listening),
      stop_(stop),
      handler_(std::move(handler)),
      thread_([this] { serve(); }) {}

RebootListener::~RebootListener() {
    const std::uint64_t one = 1;
    (void)!::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(listening_);
    ::close(stop_);
    ::unlink(socket_path_.c_str());
}

void RebootListener::serve() {
    while (true) {
        pollfd fds[2] = {{listening_, POLLIN, 0}, {stop_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int connection = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        answer(connection);
        ::close(connection);
    }
}

void RebootListener::answer(int connection) {
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &kRequestTimeout, sizeof kRequestTimeout);
    std::string request;
    char buffer[512];
    while (!request.ends_with('\n')) {
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || request.size() > kMaxRequest) return;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    request.pop_back();
    handler_(request);
    const char done = 1;
    (void)!::send(connection, &done, 1, MSG_NOSIGNAL);
}

}  // namespace tarnvel::sim
