#include "device/discovery.hpp"

#include <cerrno>
#include <optional>
#include <string_view>

#include "base/utf8.hpp"
#include "device/identity.hpp"
#include "device/sysfs_parse.hpp"
#include "device/udev_ptr.hpp"

namespace tarnvel {
namespace {

constexpr const char* kSubsystem = "tarnvel";

// A text that libudev hands out, kept only when it is present and valid UTF-8.
std::optional<std::string> utf8_text(const char* text) {
    if (text == nullptr || !is_valid_utf8(text)) return std::nullopt;
    return std::string(text);
}

// What the device's parent says about the board: its kind, and the PCI address of its slot.
struct ParentFacts {
    BoardKind kind = BoardKind::Unsupported;
    std::string pci_address;  // empty when the parent is not a PCI device
};

// The kind and slot of the board behind the device, from its parent: nothing when the device
// is to be left out.
std::optional<ParentFacts> facts_from_parent(udev_device* device) {
    udev_device* parent = udev_device_get_parent(device);
    if (parent == nullptr) return std::nullopt;
    const char* subsystem = udev_device_get_subsystem(parent);
    if (subsystem == nullptr) return std::nullopt;
    const std::string_view parent_subsystem = subsystem;
    // A device whose parent is in our own subsystem is a part of a board, not a board.
    if (parent_subsystem == kSubsystem) return std::nullopt;
    if (parent_subsystem != "pci") return ParentFacts{};

    const char* device_id_text = udev_device_get_sysattr_value(parent, "device");
    if (device_id_text == nullptr) return std::nullopt;
    const auto device_id = parse_device_id(device_id_text);
    if (!device_id) return std::nullopt;
    // The PCI device's sysfs name is its address, "domain:bus:slot.function".
    return ParentFacts{.kind = board_kind_for_device_id(*device_id),
                       .pci_address = utf8_text(udev_device_get_sysname(parent)).value_or("")};
}


// The record for one listed device, or nothing when the device is to be left out.
std::optional<BoardDevice> board_from_device(udev_device* device) {
    auto parent = facts_from_parent(device);
    if (!parent) return std::nullopt;
    const BoardKind kind = parent->kind;
    const auto hw = read_hw_version(device, kind);
    if (!hw) return std::nullopt;
    const auto fw = read_fw_version(device);
    if (!fw) return std::nullopt;
    auto syspath = utf8_text(udev_device_get_syspath(device));
    if (!syspath) return std::nullopt;
    auto devnode = utf8_text(udev_device_get_devnode(device));
    if (!devnode) return std::nullopt;
    const char* software_id_text = udev_device_get_sysattr_value(device, "software_id");
    if (software_id_text == nullptr) return std::nullopt;
    const auto software_id = parse_software_id(software_id_text);
    if (!software_id) return std::nullopt;

    BoardDevice board;
    board.syspath = std::move(*syspath);
    board.devnode = std::move(*devnode);
    board.pci_address = std::move(parent->pci_address);
    board.software_id = *software_id;
    board.hw_major = hw->first;
    board.hw_minor = hw->second;
    board.fw_version = *fw;
    board.kind = kind;
    return board;
}

Error udev_setup_error(int result) {
    return Error::os(-result);
}

}  // namespace

Result<std::vector<BoardDevice>> discover_boards() {
    // libudev returns no reason when it can't allocate its objects.
    const UdevPtr context(udev_new());
    if (!context) return std::unexpected(Error::os(ENOMEM));
    const UdevEnumeratePtr enumerate(udev_enumerate_new(context.get()));
    if (!enumerate) return std::unexpected(Error::os(ENOMEM));
    if (const int r = udev_enumerate_add_match_subsystem(enumerate.get(), kSubsystem); r != 0) {
        return std::unexpected(udev_setup_error(r));
    }
    if (const int r = udev_enumerate_scan_devices(enumerate.get()); r != 0) {
        return std::unexpected(udev_setup_error(r));
    }

    std::vector<BoardDevice> boards;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        const UdevDevicePtr device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!device) continue;
        if (auto board = board_from_device(device.get())) boards.push_back(std::move(*board));
    }
    return boards;
}

}  // namespace tarnvel
