#include "sim/model/violation.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace tarnvel::sim {

std::string_view violation_kind_name(ViolationKind kind) {
    switch (kind) {
        case ViolationKind::ProgramWithoutWriteEnable: return "program without write enable";
        case ViolationKind::EraseWithoutWriteEnable: return "erase without write enable";
        case ViolationKind::CommandWhileBusy: return "command while busy";
        case ViolationKind::UnknownCommand: return "unknown command";
        case ViolationKind::BadCommandLength: return "bad command length";
        case ViolationKind::ProgramOverUnerasedBits: return "program over unerased bits";
        case ViolationKind::FrameNotWholeBytes: return "frame not whole bytes";
        case ViolationKind::NoChipAtChipSelect: return "no chip at chip select";
        case ViolationKind::MalformedControl: return "malformed control";
        case ViolationKind::MissingClearingWrite: return "missing clearing write";
        case ViolationKind::FrameCutShort: return "frame cut short";
        case ViolationKind::DataOutsideFrame: return "data outside frame";
        case ViolationKind::StepWhileShifting: return "step while shifting";
        case ViolationKind::StepWithoutChipSelect: return "step without chip select";
        case ViolationKind::DataAccessWithoutAccessFlag: return "data access without access flag";
        case ViolationKind::ReservedBitsSet: return "reserved bits set";
        case ViolationKind::BadUnlockCycle: return "bad unlock cycle";
        case ViolationKind::BufferWordCountMismatch: return "buffer word count mismatch";
        case ViolationKind::BufferOutsidePage: return "buffer word outside page";
        case ViolationKind::BufferOutsideSector: return "buffer cycle outside sector";
        case ViolationKind::MissingConfirm: return "missing confirm";
        case ViolationKind::ReadDuringCommandSequence: return "read during command sequence";
        case ViolationKind::UnknownRegister: return "unknown register";
    }
    return "unknown violation";
}

std::string describe(const Violation& violation) {
    return fmt::format("{}: {} (address {:#x}, value {:#x})", violation.source,
                       violation_kind_name(violation.kind), violation.address, violation.value);
}

void ViolationLog::record(ViolationKind kind, std::string_view source, std::uint32_t address,
                          std::uint32_t value) {
    ++total_;
    if (entries_.size() < kKeptEntries) entries_.push_back({kind, source, address, value});
}

std::size_t ViolationLog::count(ViolationKind kind) const {
    return static_cast<std::size_t>(std::ranges::count(entries_, kind, &Violation::kind));
}

void ViolationLog::clear() {
    entries_.clear();
    total_ = 0;
}

std::string ViolationLog::summary() const {
    std::string text;
    for (const auto& v : entries_) {
        text += describe(v);
        text += '\n';
    }
    if (total_ > entries_.size()) {
        text += fmt::format("... and {} more\n", total_ - entries_.size());
    }
    return text;
}

}  // namespace tarnvel::sim
