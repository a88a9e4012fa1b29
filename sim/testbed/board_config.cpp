#include "sim/testbed/board_config.hpp"

#include <fmt/format.h>

namespace tarnvel::sim {
namespace {

// The range of PCI device IDs the board table knows.
constexpr std::uint16_t kFirstBoardId = 0x19;
constexpr std::uint16_t kLastBoardId = 0x28;
// Outside the range, so never a board.
constexpr std::uint16_t kForeignId = 0x10;

}  // namespace

std::string device_id_text(BoardKind kind) {
    if (kind != BoardKind::Unsupported) {
        for (std::uint16_t id = kFirstBoardId; id <= kLastBoardId; ++id) {
            if (board_kind_for_device_id(id) == kind) return fmt::format("0x{:04x}", id);
        }
    }
    return fmt::format("0x{:04x}", kForeignId);
}

std::string default_hw_text(BoardKind kind) {
    const auto& versions = board_info(kind).hw_versions;
    return versions.empty() ? std::string("1.0") : std::string(versions.front().text);
}

std::string version_text(std::string_view hw, std::uint32_t fw_version) {
    return fmt::format("{}r{}", hw, fw_version);
}

BoardConfig BoardConfig::of_kind(BoardKind kind, std::uint16_t fw_version) {
    BoardConfig config;
    config.parent = PciParent{device_id_text(kind)};
    config.version = version_text(default_hw_text(kind), fw_version);
    return config;
}

}  // namespace tarnvel::sim
