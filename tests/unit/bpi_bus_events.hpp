#pragma once
// Reads the register log of a parallel-flash bus back as bus events: word cycles, sequential
// bursts, busy polls and releases, so that tests can state flash command sequences.

#include <cstdint>
#include <ostream>
#include <vector>

#include "scripted_registers.hpp"

namespace tarnvel::testing {

struct BusEvent {
    enum class Kind : std::uint8_t { Cycle, Burst, BusyPoll, Release, Other };
    Kind kind;
    std::uint32_t address = 0;         // Cycle, Burst: the word address
    std::uint32_t value = 0;           // Cycle: the word written; Other: the access's value
    std::vector<std::uint16_t> words;  // Burst: the words written
    std::size_t reads = 0;             // Burst: how many words were read

    friend bool operator==(const BusEvent&, const BusEvent&) = default;
};

inline BusEvent cycle(std::uint32_t address, std::uint32_t value) {
    return {BusEvent::Kind::Cycle, address, value, {}, 0};
}
inline BusEvent burst_write(std::uint32_t address, std::vector<std::uint16_t> words) {
    return {BusEvent::Kind::Burst, address, 0, std::move(words), 0};
}
inline BusEvent burst_read(std::uint32_t address, std::size_t reads) {
    return {BusEvent::Kind::Burst, address, 0, {}, reads};
}
inline BusEvent busy_poll() {
    return {BusEvent::Kind::BusyPoll, 0, 0, {}, 0};
}
inline BusEvent release() {
    return {BusEvent::Kind::Release, 0, 0, {}, 0};
}

inline std::ostream& operator<<(std::ostream& out, const BusEvent& e) {
    out << std::hex;
    switch (e.kind) {
        case BusEvent::Kind::Cycle:
            out << "cycle(0x" << e.address << ", 0x" << e.value << ")";
            break;
        case BusEvent::Kind::Burst:
            out << "burst(0x" << e.address << ", " << std::dec << e.words.size() << " written, "
                << e.reads << " read)";
            break;
        case BusEvent::Kind::BusyPoll: out << "busy?"; break;
        case BusEvent::Kind::Release: out << "release"; break;
        case BusEvent::Kind::Other: out << "other(0x" << e.value << ")"; break;
    }
    return out << std::dec;
}

inline std::vector<BusEvent> bus_events(const std::vector<Access>& log, std::uint32_t cmd,
                                        std::uint32_t data) {
    constexpr std::uint32_t kWordAccess = 0x04000000;
    constexpr std::uint32_t kSequential = 0x01000000;
    std::vector<BusEvent> events;
    for (const Access& a : log) {
        const bool open = !events.empty() && (events.back().kind == BusEvent::Kind::Cycle ||
                                              events.back().kind == BusEvent::Kind::Burst);
        if (a.reg == cmd && a.op == Op::Read) {
            events.push_back(busy_poll());
        } else if (a.reg == cmd && a.value == 0) {
            events.push_back(release());
        } else if (a.reg == cmd && (a.value & ~0xFFFFFFU) == (kWordAccess | kSequential)) {
            events.push_back(burst_write(a.value & 0xFFFFFF, {}));
        } else if (a.reg == cmd && (a.value & ~0xFFFFFFU) == kWordAccess) {
            events.push_back(cycle(a.value & 0xFFFFFF, 0xFFFFFFFF));
        } else if (a.reg == data && open && events.back().kind == BusEvent::Kind::Burst) {
            if (a.op == Op::Write) {
                events.back().words.push_back(static_cast<std::uint16_t>(a.value));
            } else {
                ++events.back().reads;
            }
        } else if (a.reg == data && open && a.op == Op::Write &&
                   events.back().value == 0xFFFFFFFF) {
            events.back().value = a.value;
        } else {
            events.push_back({BusEvent::Kind::Other, a.reg, a.value, {}, 0});
        }
    }
    return events;
}

}  // namespace tarnvel::testing
