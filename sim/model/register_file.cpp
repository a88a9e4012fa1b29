#include "sim/model/register_file.hpp"

namespace tarnvel::sim {

int RegisterFile::read(std::uint32_t reg, std::uint32_t& value) {
    ++reads_;
    value = this->value(reg);
    return 0;
}

int RegisterFile::write(std::uint32_t reg, std::uint32_t value) {
    ++writes_;
    registers_[reg] = value;
    return 0;
}

std::uint32_t RegisterFile::value(std::uint32_t reg) const {
    auto it = registers_.find(reg);
    return it == registers_.end() ? 0 : it->second;
}

}  // namespace tarnvel::sim
