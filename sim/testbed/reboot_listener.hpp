#pragma once
// The simulated driver's ear for writes to "reboot": a thread that serves the socket the
// preload library reports such writes to (sim/preload/reboot_socket.h), hands each to the
// testbed and answers the writer once the testbed is done with it.

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "base/error.hpp"

namespace tarnvel::sim {

class RebootListener {
  public:
    // Gets the resolved path of the "reboot" attribute that was written.
    using Handler = std::function<void(const std::filesystem::path& attribute)>;

    // Listens at `socket_path` (made here, removed again when the listener goes away).
    static Result<std::unique_ptr<RebootListener>> start(std::filesystem::path socket_path,
                                                         Handler handler);
    ~RebootListener();
    RebootListener(const RebootListener&) = delete;
    RebootListener& operator=(const RebootListener&) = delete;

  private:
    RebootListener(std::filesystem::path socket_path, int listening, int stop, Handler handler);
    void serve();
    void answer(int connection);

    std::filesystem::path socket_path_;
    int listening_;
    int stop_;  // an eventfd: readable once the listener is to end
    Handler handler_;
    std::thread thread_;
};

}  // namespace tarnvel::sim
