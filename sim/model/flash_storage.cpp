#include "sim/model/flash_storage.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tarnvel::sim {

FlashStorage::FlashStorage(std::uint32_t size_bytes)
    : size_(std::bit_ceil(std::max(size_bytes, kPageBytes))), pages_(size_ >> kPageShift) {}

std::uint8_t* FlashStorage::writable_page(std::uint32_t address) {
    auto& page = pages_[address >> kPageShift];
    if (page == nullptr) {
        page = std::make_unique_for_overwrite<std::uint8_t[]>(kPageBytes);
        const std::uint32_t base = address & ~(kPageBytes - 1);
        for (std::uint32_t i = 0; i < kPageBytes; ++i) page[i] = prefill(base + i);
    }
    return page.get();
}

void FlashStorage::fill(std::uint32_t address, std::uint32_t length, std::uint8_t value) {
    while (length > 0) {
        address &= address_mask();
        const std::uint32_t offset = address & (kPageBytes - 1);
        const std::uint32_t n = std::min(length, kPageBytes - offset);
        auto& page = pages_[address >> kPageShift];
        // A whole page needs no pre-fill first.
        if (page == nullptr && n == kPageBytes) {
            page = std::make_unique_for_overwrite<std::uint8_t[]>(kPageBytes);
        }
        std::memset(writable_page(address) + offset, value, n);
        address += n;
        length -= n;
    }
}

void FlashStorage::reset() {
    for (auto& page : pages_) page.reset();
}

void FlashStorage::set_change_observer(std::function<void()> observer) {
    observer_ = std::move(observer);
    changed_ = false;
}

void FlashStorage::first_change() {
    changed_ = true;
    if (observer_) observer_();
}

std::vector<std::uint8_t> FlashStorage::dump(std::uint32_t address, std::uint32_t length) const {
    std::vector<std::uint8_t> bytes(length);
    for (std::uint32_t i = 0; i < length; ++i) bytes[i] = read((address + i) & address_mask());
    return bytes;
}

void FlashStorage::load(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        write(static_cast<std::uint32_t>(address + i) & address_mask(), bytes[i]);
    }
}

std::optional<std::uint32_t> FlashStorage::first_mismatch(
    std::uint32_t address, std::span<const std::uint8_t> expected) const {
    std::size_t done = 0;
    while (done < expected.size()) {
        const std::uint64_t at = std::uint64_t{address} + done;
        if (at >= size_) return static_cast<std::uint32_t>(at);
        const auto a = static_cast<std::uint32_t>(at);
        const std::uint32_t offset = a & (kPageBytes - 1);
        const std::size_t n = std::min<std::size_t>(expected.size() - done, kPageBytes - offset);
        const std::uint8_t* page = pages_[a >> kPageShift].get();
        const std::uint8_t* want = expected.data() + done;
        if (page == nullptr || std::memcmp(page + offset, want, n) != 0) {
            for (std::size_t i = 0; i < n; ++i) {
                if (read(a + static_cast<std::uint32_t>(i)) != want[i]) {
                    return a + static_cast<std::uint32_t>(i);
                }
            }
        }
        done += n;
    }
    return std::nullopt;
}

bool FlashStorage::is_filled(std::uint32_t address, std::uint32_t length,
                             std::uint8_t value) const {
    if (std::uint64_t{address} + length > size_) return false;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (read(address + i) != value) return false;
    }
    return true;
}

std::optional<std::uint32_t> FlashStorage::first_change_outside(std::uint32_t begin,
                                                                std::uint32_t end) const {
    for (std::size_t p = 0; p < pages_.size(); ++p) {
        const std::uint8_t* page = pages_[p].get();
        if (page == nullptr) continue;
        const auto base = static_cast<std::uint32_t>(p << kPageShift);
        for (std::uint32_t i = 0; i < kPageBytes; ++i) {
            const std::uint32_t a = base + i;
            if (a >= begin && a < end) {
                i = end - base - 1;  // skip the range; the loop's ++i steps past it
                continue;
            }
            if (page[i] != prefill(a)) return a;
        }
    }
    return std::nullopt;
}

std::size_t FlashStorage::pages_in_use() const {
    return static_cast<std::size_t>(
        std::ranges::count_if(pages_, [](const auto& page) { return page != nullptr; }));
}

}  // namespace tarnvel::sim
