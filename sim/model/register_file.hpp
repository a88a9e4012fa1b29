#pragma once
// A board whose registers are plain storage: every read returns the value last written to
// that register (0 before the first write). It stands in for boards whose flash does not
// matter to a test: discovery, opening, the bus reset of a parallel-flash board.

#include <cstdint>
#include <map>

#include "sim/model/register_model.hpp"

namespace tarnvel::sim {

class RegisterFile : public RegisterModel {
  public:
    int read(std::uint32_t reg, std::uint32_t& value) override;
    int write(std::uint32_t reg, std::uint32_t value) override;

    // The register's content as a read would return it.
    std::uint32_t value(std::uint32_t reg) const;
    // Whether the register was ever written.
    bool written(std::uint32_t reg) const { return registers_.contains(reg); }
    std::uint64_t read_count() const { return reads_; }
    std::uint64_t write_count() const { return writes_; }

  private:
    // Only the handful of controller registers are ever touched; a map keeps them sparse.
    std::map<std::uint32_t, std::uint32_t> registers_;
    std::uint64_t reads_ = 0;
    std::uint64_t writes_ = 0;
};

}  // namespace tarnvel::sim
