#include "sim/model/register_faults.hpp"

#include <utility>

namespace tarnvel::sim {

RegisterFaults::RegisterFaults(RegisterModel& inner, RegisterFault fault)
    : inner_(&inner), fault_(fault) {}

RegisterFaults::RegisterFaults(std::unique_ptr<RegisterModel> inner, RegisterFault fault)
    : owned_(std::move(inner)), inner_(owned_.get()), fault_(fault) {}

bool RegisterFaults::next_access_fails() {
    ++accesses_;
    if (fault_.access == 0) return false;
    bool fails = fault_.persistent ? accesses_ >= fault_.access : accesses_ == fault_.access;
    if (fails) ++failures_;
    return fails;
}

int RegisterFaults::read(std::uint32_t reg, std::uint32_t& value) {
    if (next_access_fails()) return fault_.error;
    return inner_->read(reg, value);
}

int RegisterFaults::write(std::uint32_t reg, std::uint32_t value) {
    if (next_access_fails()) return fault_.error;
    return inner_->write(reg, value);
}

}  // namespace tarnvel::sim
