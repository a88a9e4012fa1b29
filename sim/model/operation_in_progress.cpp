#include "sim/model/operation_in_progress.hpp"

#include <algorithm>
#include <cstring>

#include "sim/support/split_mix.hpp"

namespace tarnvel::sim {

void OperationInProgress::begin(const FlashStorage& storage, std::uint32_t address,
                                std::uint32_t length) {
    address_ = address;
    length_ = length;
    before_.resize(length);
    pristine_pages_.clear();
    std::uint32_t done = 0;
    while (done < length) {
        const std::uint32_t at = address + done;
        const std::uint32_t in_page = at & (FlashStorage::kPageBytes - 1);
        const std::uint32_t n = std::min(length - done, FlashStorage::kPageBytes - in_page);
        const std::uint8_t* page = storage.page_data(at);
        pristine_pages_.push_back(page == nullptr);
        if (page != nullptr) std::memcpy(before_.data() + done, page + in_page, n);
        done += n;
    }
}

std::uint8_t OperationInProgress::before(std::uint32_t offset) const {
    const std::uint32_t at = address_ + offset;
    const std::uint32_t page =
        (at >> FlashStorage::kPageShift) - (address_ >> FlashStorage::kPageShift);
    return pristine_pages_[page] ? FlashStorage::prefill(at) : before_[offset];
}

void OperationInProgress::interrupt(FlashStorage& storage, std::uint64_t seed) const {
    if (length_ == 0) return;
    std::uint64_t state = seed ^ (std::uint64_t{address_} << 32 | address_);
    const auto reached = static_cast<std::uint32_t>(next_random(state) % (length_ + 1));
    const auto changed_bits = static_cast<std::uint8_t>(next_random(state));
    for (std::uint32_t i = reached; i < length_; ++i) {
        const std::uint8_t old_value = before(i);
        if (i == reached) {
            const std::uint8_t new_value = storage.read(address_ + i);
            storage.write(address_ + i, static_cast<std::uint8_t>((old_value & ~changed_bits) |
                                                                  (new_value & changed_bits)));
        } else {
            storage.write(address_ + i, old_value);
        }
    }
}

}  // namespace tarnvel::sim
