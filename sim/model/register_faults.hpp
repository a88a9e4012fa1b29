#pragma once
// Driver-side fault injection around any register model: the Nth register access (counting
// reads and writes together, from 1) fails with a chosen errno, optionally together with
// every access after it, the way a board that drops off the bus fails every request from
// then on. A failed access never reaches the wrapped model.

#include <cerrno>
#include <cstdint>
#include <memory>

#include "sim/model/register_model.hpp"

namespace tarnvel::sim {

struct RegisterFault {
    std::uint64_t access = 0;  // 1-based number of the first failing access; 0 = none
    int error = EIO;           // the errno the driver fails it with
    bool persistent = false;   // every later access fails too
};

class RegisterFaults : public RegisterModel {
  public:
    // Wraps a model the caller keeps alive.
    RegisterFaults(RegisterModel& inner, RegisterFault fault);
    // Wraps and owns a model.
    RegisterFaults(std::unique_ptr<RegisterModel> inner, RegisterFault fault);

    int read(std::uint32_t reg, std::uint32_t& value) override;
    int write(std::uint32_t reg, std::uint32_t value) override;
    SimBoard* hardware() override { return inner_->hardware(); }

    RegisterModel& inner() { return *inner_; }
    const RegisterModel& inner() const { return *inner_; }
    // Every access the driver received, the failed ones included.
    std::uint64_t access_count() const { return accesses_; }
    std::uint64_t failed_count() const { return failures_; }
    // Changes the plan; the access count goes on from where it is.
    void set_fault(RegisterFault fault) { fault_ = fault; }

  private:
    // Counts the access and tells whether it fails.
    bool next_access_fails();

    std::unique_ptr<RegisterModel> owned_;
    RegisterModel* inner_;
    RegisterFault fault_;
    std::uint64_t accesses_ = 0;
    std::uint64_t failures_ = 0;
};

}  // namespace tarnvel::sim
