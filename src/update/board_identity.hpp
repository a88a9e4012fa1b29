#pragma once
// A board's identity as a value: where it sits, what it is and what it runs. Decisions,
// journal records and reports are made from it; none of them changes the board's record.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.hpp"
#include "device/board_device.hpp"

namespace tarnvel {

struct BoardIdentity {
    std::string devnode;
    std::string pci_address;  // "0000:03:00.0"; empty for a device not behind a PCI device
    BoardKind kind = BoardKind::Unsupported;
    std::uint8_t hw_major = 0;
    std::uint8_t hw_minor = 0;
    std::uint16_t fw_version = 0;  // the firmware the board runs

    // "QX480"; none for a board that is not a known one.
    std::optional<std::string_view> model() const;
    // "2.0".
    std::string hardware() const;
    // "QX480 v2.0", or "unsupported board".
    std::string title() const;
};

BoardIdentity identity_of(const BoardDevice& board);

// A hardware version as it is shown and recorded: "2.0".
std::string hardware_text(std::uint8_t major, std::uint8_t minor);

// What a board reports once it has been rebooted, taken apart as far as it goes.
struct ReportedIdentity {
    // The "version" text as the driver reports it; none when the board has no "version".
    std::optional<std::string> version;
    // The hardware version, when the text's hardware part is one the kind knows.
    std::optional<std::pair<std::uint8_t, std::uint8_t>> hardware;
    // The firmware version, when the text's firmware part is a number.
    std::optional<std::uint16_t> firmware;
};

// Takes a "version" text apart for a board of `kind`.
ReportedIdentity parse_reported_identity(const std::optional<std::string>& version, BoardKind kind);

}  // namespace tarnvel
