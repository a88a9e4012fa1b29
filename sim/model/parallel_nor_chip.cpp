#include "sim/model/parallel_nor_chip.hpp"

#include <algorithm>
#include <bit>
#include <initializer_list>
#include <span>

namespace tarnvel::sim {
namespace {

constexpr std::string_view kSource = "parallel flash";

// The part decodes the unlock and command addresses on its low twelve address lines.
constexpr std::uint32_t kCommandAddressMask = 0xFFF;

// Status bit DQ6 toggles on every read while a program or erase runs.
constexpr std::uint16_t kToggleBit = 0x0040;

// The CFI query decodes the low eight address lines.
constexpr std::uint32_t kCfiAddressMask = 0xFF;

std::uint16_t log2(std::uint64_t value) {
    return static_cast<std::uint16_t>(std::countr_zero(value));
}

}  // namespace

// The query as a part with one uniform erase region answers it: "QRY", the AMD command set
// with its extended table at 0x40, 2.7-3.6 V, typical and maximum times from the data sheet
// figures above as powers of two, the size, a 16-bit bus, the write buffer and the region.
void ParallelNorChip::build_cfi(const Options& options) {
    if (!options.cfi_table.empty()) {
        const std::size_t n =
            std::min<std::size_t>(options.cfi_table.size(), kCfiWords - kCfiTableStart);
        std::ranges::copy(std::span(options.cfi_table).first(n), cfi_.begin() + kCfiTableStart);
        return;
    }
    auto put = [&](std::uint32_t address, std::initializer_list<std::uint16_t> bytes) {
        for (std::uint16_t b : bytes) cfi_[address++] = b;
    };
    const std::uint32_t blocks = std::max(storage_.size() / options.sector_bytes, 1u);
    const std::uint32_t block_units = options.sector_bytes / 256;
    put(0x10, {'Q', 'R', 'Y', 0x02, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00});
    put(0x1B, {0x27, 0x36, 0x00, 0x00});
    // Word program 2^6 µs, buffer program 2^8 µs, sector erase 2^9 ms typically; no chip
    // erase; at most 2^2, 2^2 and 2^3 times that.
    put(0x1F, {0x06, 0x08, 0x09, 0x00, 0x02, 0x02, 0x03, 0x00});
    put(0x27, {log2(storage_.size()), 0x01, 0x00, log2(options.buffer_bytes), 0x00, 0x01});
    put(0x2D, {static_cast<std::uint16_t>((blocks - 1) & 0xFF),
               static_cast<std::uint16_t>((blocks - 1) >> 8),
               static_cast<std::uint16_t>(block_units & 0xFF),
               static_cast<std::uint16_t>(block_units >> 8)});
    // The primary extended table: "PRI", version 1.3.
    put(0x40, {'P', 'R', 'I', '1', '3'});
}

ParallelNorChip::Options ParallelNorChip::Options::typical_times(double scale) {
    Options options;
    options.program_time = busy_for(kTypicalBufferProgram, scale);
    options.erase_time = busy_for(kTypicalSectorErase, scale);
    return options;
}

ParallelNorChip::ParallelNorChip(const Options& options, ViolationLog& log)
    : log_(log),
      storage_(options.size_bytes),
      word_mask_(storage_.address_mask() >> 1),
      sector_words_(options.sector_bytes / 2),
      buffer_words_(std::min(options.buffer_bytes / 2, kMaxBufferWords)),
      program_time_(options.program_time),
      erase_time_(options.erase_time) {
    build_cfi(options);
}

bool ParallelNorChip::is_unlock1(std::uint32_t address, std::uint16_t value) const {
    return (address & kCommandAddressMask) == kUnlockAddress1 && value == kUnlockData1;
}

bool ParallelNorChip::is_unlock2(std::uint32_t address, std::uint16_t value) const {
    return (address & kCommandAddressMask) == kUnlockAddress2 && value == kUnlockData2;
}

void ParallelNorChip::write_cycle(std::uint32_t word_address, std::uint16_t value) {
    const std::uint32_t address = word_address & word_mask_;
    // During a program or erase the part ignores every write, resets included.
    if (busy_.active()) {
        log_.record(ViolationKind::CommandWhileBusy, kSource, address, value);
        return;
    }
    switch (state_) {
        case State::BufferCount:
        case State::BufferLoad:
        case State::BufferConfirm: buffer_cycle(address, value); break;
        case State::Aborted:
        case State::AbortUnlocked1:
        case State::AbortUnlocked2: abort_state_cycle(address, value); break;
        default: command_cycle(address, value); break;
    }
}

void ParallelNorChip::refuse(ViolationKind kind, std::uint32_t address, std::uint16_t value) {
    log_.record(kind, kSource, address, value);
    state_ = State::Read;
}

void ParallelNorChip::abort_buffer(ViolationKind kind, std::uint32_t address, std::uint16_t value) {
    log_.record(kind, kSource, address, value);
    state_ = State::Aborted;
}

void ParallelNorChip::command_cycle(std::uint32_t address, std::uint16_t value) {
    if (value == kReset) {
        state_ = State::Read;
        return;
    }
    const bool at_unlock1 = (address & kCommandAddressMask) == kUnlockAddress1;
    switch (state_) {
        case State::Read:
            if ((address & kCommandAddressMask) == kCfiQueryAddress && value == kCfiQuery) {
                state_ = State::CfiQuery;
            } else if (is_unlock1(address, value)) {
                state_ = State::Unlocked1;
            } else {
                // Half an unlock cycle is a bad unlock; anything else a stray write.
                refuse(at_unlock1 || value == kUnlockData1 ? ViolationKind::BadUnlockCycle
                                                           : ViolationKind::UnknownCommand,
                       address, value);
            }
            break;
        case State::Unlocked1:
            if (is_unlock2(address, value)) {
                state_ = State::Unlocked2;
            } else {
                refuse(ViolationKind::BadUnlockCycle, address, value);
            }
            break;
        case State::Unlocked2:
            if (value == kEraseSetup && at_unlock1) {
                state_ = State::EraseSetup;
            } else if (value == kWriteToBuffer) {
                sector_ = address / sector_words_;
                state_ = State::BufferCount;
            } else {
                refuse(ViolationKind::UnknownCommand, address, value);
            }
            break;
        case State::EraseSetup:
            if (is_unlock1(address, value)) {
                state_ = State::EraseUnlocked1;
            } else {
                refuse(ViolationKind::BadUnlockCycle, address, value);
            }
            break;
        case State::EraseUnlocked1:
            if (is_unlock2(address, value)) {
                state_ = State::EraseUnlocked2;
            } else {
                refuse(ViolationKind::BadUnlockCycle, address, value);
            }
            break;
        case State::EraseUnlocked2:
            if (value == kSectorErase) {
                erase_sector(address);
            } else {
                refuse(ViolationKind::UnknownCommand, address, value);
            }
            break;
        case State::CfiQuery:
            // Only 0xF0, taken above, leaves the query.
            refuse(ViolationKind::UnknownCommand, address, value);
            break;
        default: break;
    }
}

// In a write-to-buffer sequence every cycle is count, data or confirm: 0xF0 is data here.
void ParallelNorChip::buffer_cycle(std::uint32_t address, std::uint16_t value) {
    const std::uint32_t sector = address / sector_words_;
    const std::uint32_t page = address / buffer_words_;
    const bool at_sector = address == sector_ * sector_words_;
    switch (state_) {
        case State::BufferCount:
            if (sector != sector_) {
                abort_buffer(ViolationKind::BufferOutsideSector, address, value);
            } else if (value >= buffer_words_) {
                abort_buffer(ViolationKind::BufferWordCountMismatch, address, value);
            } else {
                words_expected_ = value + 1u;
                words_loaded_ = 0;
                loaded_.reset();
                state_ = State::BufferLoad;
            }
            break;
        case State::BufferLoad:
            if (sector != sector_) {
                abort_buffer(ViolationKind::BufferOutsideSector, address, value);
                break;
            }
            if (words_loaded_ == 0) {
                buffer_page_ = page;
            } else if (page != buffer_page_) {
                // The confirm arriving early means fewer words than the count announced.
                abort_buffer(value == kProgramBuffer && at_sector
                                 ? ViolationKind::BufferWordCountMismatch
                                 : ViolationKind::BufferOutsidePage,
                             address, value);
                break;
            }
            buffer_[address % buffer_words_] = value;
            loaded_.set(address % buffer_words_);
            if (++words_loaded_ == words_expected_) state_ = State::BufferConfirm;
            break;
        case State::BufferConfirm:
            if (value == kProgramBuffer && sector == sector_) {
                program_buffer();
            } else if (sector == sector_ && page == buffer_page_) {
                // Another word of the page: more words than the count announced.
                abort_buffer(ViolationKind::BufferWordCountMismatch, address, value);
            } else {
                abort_buffer(ViolationKind::MissingConfirm, address, value);
            }
            break;
        default: break;
    }
}

// After a write-to-buffer abort only the abort reset (unlock, unlock, 0xF0) is heard.
void ParallelNorChip::abort_state_cycle(std::uint32_t address, std::uint16_t value) {
    if (state_ == State::AbortUnlocked2 && value == kReset) {
        state_ = State::Read;
    } else if (state_ == State::AbortUnlocked1 && is_unlock2(address, value)) {
        state_ = State::AbortUnlocked2;
    } else {
        state_ = is_unlock1(address, value) ? State::AbortUnlocked1 : State::Aborted;
    }
}

std::uint16_t ParallelNorChip::read_other(std::uint32_t word_address) {
    if (busy_.active()) {
        toggle_ = !toggle_;
        return toggle_ ? kToggleBit : 0;
    }
    switch (state_) {
        case State::Aborted:
        case State::AbortUnlocked1:
        case State::AbortUnlocked2: return kAbortStatus;
        case State::CfiQuery: {
            const std::uint32_t i = word_address & kCfiAddressMask;
            return i < cfi_.size() ? cfi_[i] : std::uint16_t{0};
        }
        case State::BufferCount:
        case State::BufferLoad:
        case State::BufferConfirm:
            abort_buffer(ViolationKind::ReadDuringCommandSequence, word_address & word_mask_, 0);
            return kAbortStatus;
        default:
            refuse(ViolationKind::ReadDuringCommandSequence, word_address & word_mask_, 0);
            return read_cycle(word_address);
    }
}

void ParallelNorChip::erase_sector(std::uint32_t address) {
    const std::uint32_t first_word = address / sector_words_ * sector_words_;
    operation_.begin(storage_, first_word * 2, sector_words_ * 2);
    storage_.fill(first_word * 2, sector_words_ * 2, 0xFF);
    storage_.note_change();
    ++erases_done_;
    busy_.start(erase_time_);
    state_ = State::Read;
}

void ParallelNorChip::program_buffer() {
    const std::uint32_t first_byte = buffer_page_ * buffer_words_ * 2;
    operation_.begin(storage_, first_byte, buffer_words_ * 2);
    std::uint8_t* cells =
        storage_.writable_page(first_byte) + (first_byte & (FlashStorage::kPageBytes - 1));
    bool over_unerased = false;
    for (std::uint32_t i = 0; i < buffer_words_; ++i) {
        if (!loaded_.test(i)) continue;
        const std::uint32_t byte_address = first_byte + 2 * i;
        std::uint8_t* cell = cells + 2 * i;
        const auto old = static_cast<std::uint16_t>(cell[0] | cell[1] << 8);
        const std::uint16_t data = buffer_[i];
        // Programming can only clear bits.
        if ((data & ~old) != 0 && !over_unerased) {
            over_unerased = true;
            log_.record(ViolationKind::ProgramOverUnerasedBits, kSource, byte_address / 2, data);
        }
        const auto stored = static_cast<std::uint16_t>(old & data);
        cell[0] = faults_.programmed(byte_address, static_cast<std::uint8_t>(stored));
        cell[1] = faults_.programmed(byte_address + 1, static_cast<std::uint8_t>(stored >> 8));
    }
    storage_.note_change();
    ++programs_done_;
    busy_.start(program_time_);
    state_ = State::Read;
}

void ParallelNorChip::cut_power(std::uint64_t seed) {
    if (busy_.active()) operation_.interrupt(storage_, seed);
    busy_.cancel();
    state_ = State::Read;
}

}  // namespace tarnvel::sim
