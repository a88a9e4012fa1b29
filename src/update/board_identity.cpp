#include "update/board_identity.hpp"

#include <fmt/format.h>

#include "base/utf8.hpp"
#include "device/sysfs_parse.hpp"

namespace tarnvel {

std::optional<std::string_view> BoardIdentity::model() const {
    if (kind == BoardKind::Unsupported) return std::nullopt;
    return board_info(kind).model_name;
}

std::string BoardIdentity::hardware() const {
    return hardware_text(hw_major, hw_minor);
}

std::string BoardIdentity::title() const {
    const auto name = model();
    if (!name) return "unsupported board";
    return fmt::format("{} v{}", *name, hardware());
}

std::string hardware_text(std::uint8_t major, std::uint8_t minor) {
    return fmt::format("{}.{}", major, minor);
}

BoardIdentity identity_of(const BoardDevice& board) {
    return BoardIdentity{.devnode = board.devnode,
                         .pci_address = board.pci_address,
                         .kind = board.kind,
                         .hw_major = board.hw_major,
                         .hw_minor = board.hw_minor,
                         .fw_version = board.fw_version};
}

ReportedIdentity parse_reported_identity(const std::optional<std::string>& version,
                                         BoardKind kind) {
    ReportedIdentity reported;
    if (!version || !is_valid_utf8(*version)) return reported;
    reported.version = version;
    reported.hardware = find_hw_version(kind, version_hw_part(*version));
    reported.firmware = parse_fw_version(*version);
    return reported;
}

}  // namespace tarnvel
