#pragma once
// How one simulated board device looks to the program: its parent device, its sysfs texts,
// its device node, what answers the register ioctl on that node, and what it starts when it
// loads its firmware.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "device/board_table.hpp"
#include "sim/model/firmware_load.hpp"
#include "sim/model/register_model.hpp"

namespace tarnvel::sim {

// A PCI device parent. `device` is its "device" attribute text exactly as the kernel would
// show it ("0x0022"); none means the attribute does not exist.
struct PciParent {
    std::optional<std::string> device;
};
// A parent on another bus, for example "platform".
struct OtherParent {
    std::string subsystem;
};
// Not a board but a part of one: the parent is an earlier board (by index) of the subsystem.
struct SubDeviceOf {
    std::size_t board;
};
using BoardParent = std::variant<PciParent, OtherParent, SubDeviceOf>;

enum class NodeState : std::uint8_t {
    Present,
    Missing,           // the node has gone away: opening it fails with ENOENT
    PermissionDenied,  // mode 0000: the program, which runs without DAC override, gets EACCES
};

enum class RebootState : std::uint8_t {
    Accepts,           // a writable "reboot"; tests read back what it received
    Missing,           // no "reboot" attribute: the write fails with ENOENT
    IsDirectory,       // the write fails with EISDIR
    PermissionDenied,  // read-only "reboot": the write fails with EACCES
};

struct BoardConfig {
    BoardParent parent = PciParent{"0x0010"};
    std::optional<std::string> version = "1.0r1";  // none: no "version" attribute
    std::optional<std::string> software_id = "1";  // none: no "software_id" attribute
    std::optional<unsigned> node_number;           // /dev/tarnvelN; default: the board's index
    // The parent's slot (PCI 0000:NN:00.0); default: the one after the highest made so far.
    // A sub-device has its board's.
    std::optional<unsigned> slot;
    NodeState node = NodeState::Present;
    RebootState reboot = RebootState::Accepts;
    // What "version" reports when the board falls back to its factory image (see
    // sim/model/firmware_load.hpp); default: the hardware part of `version` with firmware 0.
    std::optional<std::string> factory_version;
    bool factory_image = true;  // false: a board that can't start its flash is gone
    // Firmware versions the board cannot start (FirmwareSetup::unbootable).
    std::vector<std::int32_t> unbootable;
    // Images this board starts when its flash holds them, besides those of the firmware
    // archives (Testbed::set_firmware_archives).
    std::vector<KnownImage> images;
    std::unique_ptr<RegisterModel> model;  // none: a RegisterFile

    // A board of this kind behind a PCI parent with the kind's first device ID, reporting the
    // first hardware version of the kind's table and the given firmware.
    static BoardConfig of_kind(BoardKind kind, std::uint16_t fw_version = 100);
};

// "0x00XX" with the first PCI device ID that identifies this kind; for Unsupported an ID
// that no board uses.
std::string device_id_text(BoardKind kind);
// The first hardware text of the kind's table ("1.0" when it has none).
std::string default_hw_text(BoardKind kind);
// "{hw}r{fw}", the form of the "version" attribute.
std::string version_text(std::string_view hw, std::uint32_t fw_version);

}  // namespace tarnvel::sim
