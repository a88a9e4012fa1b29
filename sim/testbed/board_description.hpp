#pragma once
// The textual board description of tarnvel-sim: one board per argument, a comma-separated
// list of key=value settings and flags, e.g. "kind=5,version=2.0r7,archive=older".
// board_description_help() is the reference of the grammar.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "device/board_table.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/testbed/board_config.hpp"

namespace tarnvel::sim {

// Which image the board's firmware archive carries, relative to the firmware the board runs.
enum class ArchivePlan : std::uint8_t { Newer, Equal, Older, None };

enum class ModelChoice : std::uint8_t {
    Auto,       // the kind's simulated hardware when a kind is given, else plain registers
    Hardware,   // the kind's controller, bus engines and flash chips
    Registers,  // a register file: reads return what was written
};

// Another part in place of the flash chip that holds the board's firmware; unset: as the
// board's own.
struct FlashPartSettings {
    std::optional<std::uint32_t> size;         // capacity in bytes
    std::optional<std::uint32_t> sector_size;  // what one block or sector erase erases
    std::optional<std::uint32_t> buffer_size;  // parallel flash: the write buffer in bytes
    std::optional<std::array<std::uint8_t, 3>> jedec_id;  // serial flash
    bool no_four_byte_commands = false;                   // serial flash
    bool no_sfdp = false;                                 // serial flash
    // A real part's tables, as the files of sfdp= and cfi= hold them; empty: the simulated
    // part's own.
    std::vector<std::uint8_t> sfdp{};  // serial flash: its SFDP space from address 0
    std::vector<std::uint8_t> cfi{};   // parallel flash: its CFI query from word 0x10
};

// The chip options of a board of `kind` with these settings applied to its firmware flash.
BoardOptions board_options(BoardKind kind, const FlashPartSettings& part);

struct BoardDescription {
    BoardConfig config;             // its model is chosen by `model` when the board is added
    std::optional<BoardKind> kind;  // set by kind=
    ArchivePlan archive = ArchivePlan::Newer;
    std::size_t image_size = 4096;  // bytes in the generated image
    ModelChoice model = ModelChoice::Auto;
    std::optional<RegisterFault> fault;
    FlashPartSettings flash_part;
};

Result<BoardDescription> parse_board_description(std::string_view text);

// The firmware part of a "version" text (the number after the first "r"), if it has one.
std::optional<std::uint32_t> firmware_of(std::string_view version);

// The grammar, for --help.
std::string board_description_help();

}  // namespace tarnvel::sim
