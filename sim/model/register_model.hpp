#pragma once
// What sits behind a simulated board's registers. The simulated kernel driver (umockdev) and
// the in-process route both hand every register request to one of these.

#include <cstdint>

#include "device/register_channel.hpp"

namespace tarnvel::sim {

class SimBoard;

class RegisterModel {
  public:
    virtual ~RegisterModel() = default;
    // Each returns 0 on success, or the errno with which the driver fails the request.
    virtual int read(std::uint32_t reg, std::uint32_t& value) = 0;
    virtual int write(std::uint32_t reg, std::uint32_t value) = 0;
    // The simulated hardware behind the registers (also behind a wrapper that injects
    // faults), or null for a model without flash chips.
    virtual SimBoard* hardware() { return nullptr; }
};

// The driver's side of the register ioctl, shared by both routes: checks the request code and
// the request, then runs it on the model. Returns 0 or an errno.
int serve_register_request(RegisterModel& model, unsigned long request_code,
                           RegisterRequest& request);

}  // namespace tarnvel::sim
