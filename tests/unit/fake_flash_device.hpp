#pragma once
// A FlashDevice for the programming-sequence tests: records every call, keeps the last write
// per address (a read from inside a write's range gets the rest of it), and fails or corrupts
// read-backs on command.

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "flash/flash_device.hpp"

namespace tarnvel::testing {

class FakeFlash : public FlashDevice {
  public:
    enum class Op : std::uint8_t { Erase, Write, Read };
    struct Call {
        Op op;
        std::uint32_t address, length;
        friend bool operator==(const Call&, const Call&) = default;
    };

    explicit FakeFlash(std::uint32_t block_size) : block_size_(block_size) {}

    std::uint32_t erase_size() const override { return block_size_; }
    std::uint32_t page_size() const override { return 0x100; }
    Result<std::vector<std::uint8_t>> read_id() override { return std::vector<std::uint8_t>{}; }

    Status erase(std::uint32_t address, std::uint32_t length) override {
        calls.push_back({Op::Erase, address, length});
        if (erase_failure) return std::unexpected(*erase_failure);
        contents.erase(address);
        return {};
    }
    Status write(std::uint32_t address, std::uint32_t length,
                 std::span<const std::uint8_t> data) override {
        calls.push_back({Op::Write, address, length});
        write_sources.push_back(data.data());
        if (write_failure) return std::unexpected(*write_failure);
        contents[address].assign(data.begin(), data.begin() + length);
        return {};
    }
    Result<std::vector<std::uint8_t>> read(std::uint32_t address, std::uint32_t length) override {
        calls.push_back({Op::Read, address, length});
        if (read_failure) return std::unexpected(*read_failure);
        std::vector<std::uint8_t> bytes = held(address);
        bytes.resize(length, 0xFF);
        if (corrupt_reads[address] > 0 && !bytes.empty()) {
            --corrupt_reads[address];
            bytes.back() ^= 0x01;
        }
        if (short_reads) bytes.pop_back();
        return bytes;
    }

    void set_erase_polls_late(bool late) override { erases_polled_late = late; }

    std::size_t count(Op op) const {
        return static_cast<std::size_t>(std::ranges::count(calls, op, &Call::op));
    }

    // Arranged by the test.
    std::optional<Error> erase_failure, write_failure, read_failure;
    std::map<std::uint32_t, unsigned> corrupt_reads;  // block address -> bad read-backs to give
    bool short_reads = false;                         // every read-back one byte short
    // Inspected by the test.
    std::vector<Call> calls;
    std::map<std::uint32_t, std::vector<std::uint8_t>> contents;
    std::vector<const std::uint8_t*> write_sources;  // where each write took its bytes from
    bool erases_polled_late = false;

  private:
    // What the write that covers `address` left from there on; nothing when none does.
    std::vector<std::uint8_t> held(std::uint32_t address) const {
        auto write = contents.upper_bound(address);
        if (write == contents.begin()) return {};
        --write;
        const std::uint32_t skip = address - write->first;
        if (skip >= write->second.size()) return {};
        return {write->second.begin() + skip, write->second.end()};
    }

    std::uint32_t block_size_;
};

}  // namespace tarnvel::testing
