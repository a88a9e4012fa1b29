#pragma once
// The cell array of a simulated flash chip. Every byte starts out holding a pre-fill pattern
// that is a pure function of its address (standing for whatever the board shipped with), so a
// test can tell exactly which bytes a driver changed. Memory is taken lazily, one 64 KiB page
// at a time, on the first change in it: a board carries a 128 MiB chip, eleven boards may
// exist at once, and an update costs only the pages it touches.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tarnvel::sim {

class FlashStorage {
  public:
    static constexpr unsigned kPageShift = 16;
    static constexpr std::uint32_t kPageBytes = 1u << kPageShift;

    // The size is rounded up to a power of two of at least one page, so that addresses wrap
    // at the end of the array as they do on a real part.
    explicit FlashStorage(std::uint32_t size_bytes);

    std::uint32_t size() const { return size_; }
    std::uint32_t address_mask() const { return size_ - 1; }

    // The content of a byte nobody has changed yet.
    static std::uint8_t prefill(std::uint32_t address) {
        std::uint32_t x = address * 0x9E3779B1u;
        x ^= x >> 15;
        x *= 0x85EBCA77u;
        x ^= x >> 13;
        return static_cast<std::uint8_t>(x >> 24);
    }

    // `address` must lie below size().
    std::uint8_t read(std::uint32_t address) const {
        const std::uint8_t* page = pages_[address >> kPageShift].get();
        return page != nullptr ? page[address & (kPageBytes - 1)] : prefill(address);
    }
    // The little-endian 16-bit word at an even `address` below size().
    std::uint16_t read_le16(std::uint32_t address) const {
        const std::uint8_t* page = pages_[address >> kPageShift].get();
        if (page == nullptr) {
            return static_cast<std::uint16_t>(prefill(address) | prefill(address + 1) << 8);
        }
        const std::uint8_t* p = page + (address & (kPageBytes - 1));
        return static_cast<std::uint16_t>(p[0] | p[1] << 8);
    }
    void write(std::uint32_t address, std::uint8_t value) {
        writable_page(address)[address & (kPageBytes - 1)] = value;
    }

    // The page holding `address`, taken and pre-filled on first use.
    std::uint8_t* writable_page(std::uint32_t address);
    // The page holding `address`, or null while it still holds the pre-fill untouched.
    const std::uint8_t* page_data(std::uint32_t address) const {
        return pages_[address >> kPageShift].get();
    }
    // Sets [address, address + length) to `value` (an erase: 0xFF), wrapping at the end.
    void fill(std::uint32_t address, std::uint32_t length, std::uint8_t value);
    // Every byte back to the pre-fill (no observer call).
    void reset();

    // Called by the chip for every program and erase it carries out: the first one since the
    // observer was set tells it that the board's flash content has changed.
    void note_change() {
        if (!changed_) [[unlikely]]
            first_change();
    }
    bool changed() const { return changed_; }
    void set_change_observer(std::function<void()> observer);

    // Test helpers; addresses beyond size() count as mismatching.
    std::vector<std::uint8_t> dump(std::uint32_t address, std::uint32_t length) const;
    // Puts bytes in place without a program or erase (no observer call): a board's prior
    // content, for example an image already installed.
    void load(std::uint32_t address, std::span<const std::uint8_t> bytes);
    // The first address from `address` on at which the content differs from `expected`.
    std::optional<std::uint32_t> first_mismatch(std::uint32_t address,
                                                std::span<const std::uint8_t> expected) const;
    bool is_filled(std::uint32_t address, std::uint32_t length, std::uint8_t value) const;
    // The first address outside [begin, end) whose content differs from the pre-fill. Only
    // pages that were ever touched are looked at, so this is cheap on a large chip.
    std::optional<std::uint32_t> first_change_outside(std::uint32_t begin, std::uint32_t end) const;
    std::size_t pages_in_use() const;

  private:
    void first_change();

    std::uint32_t size_;
    std::vector<std::unique_ptr<std::uint8_t[]>> pages_;
    bool changed_ = false;
    std::function<void()> observer_;
};

}  // namespace tarnvel::sim
