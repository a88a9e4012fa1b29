#pragma once
// The fast in-process route to a simulated board, for unit tests and benchmarks. Test binaries
// are linked with -Wl,--wrap=ioctl: the program's own register_read and register_write then
// reach the board model attached to their descriptor directly, with no kernel and no umockdev
// round trip; every other ioctl goes to the C library as usual.

#include "sim/model/register_model.hpp"

namespace tarnvel::sim {

// Routes register ioctls on `fd` to `model` until detached. Single-threaded use only.
void attach_in_process(int fd, RegisterModel* model);
void detach_in_process(int fd);

// A descriptor with a model attached, closed and detached when it goes out of scope: what a
// test passes as a board's fd.
class InProcessNode {
public:
    explicit InProcessNode(RegisterModel& model);
    ~InProcessNode();
    InProcessNode(const InProcessNode&) = delete;
    InProcessNode& operator=(const InProcessNode&) = delete;
    int fd() const { return fd_; }
    // Gives up ownership of the descriptor (for example to a BoardDevice, which closes it);
    // the model stays attached to the number until this object is destroyed.
    int release() {
        released_ = true;
        return fd_;
    }

private:
    int fd_;
    bool released_ = false;
};

}  // namespace tarnvel::sim
