#pragma once
// What a simulated board starts when it loads its firmware: at power-on, and when "reboot" is
// written. A real board keeps running what it loaded until then, whatever happens to its
// flash in between; at the next start it runs what its flash holds at the kind's base address,
// if that is an image it can start, and otherwise falls back to its factory image (kept below
// the base address, where no update writes). A board without a factory image starts nothing
// and is gone from the bus.
//
// Which image the flash holds is recognised by content: the image region must hold one of the
// known images in full, in the form the kind's flash stores it (bit-mirrored words on the
// parallel flash). A board is made running the image it shipped with, which the flash's
// pre-fill pattern stands for (see FlashStorage): as long as the first kShippedImageBytes at
// the base address still hold that pattern, the board starts its shipped firmware again.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/board_table.hpp"
#include "sim/model/flash_storage.hpp"

namespace tarnvel::sim {

// How much of the shipped content at the base address must be intact for the board to start
// it. Any update erases at least the whole first block, which is larger.
inline constexpr std::uint32_t kShippedImageBytes = 4096;

// An image a board starts when its flash holds it.
struct KnownImage {
    std::vector<std::uint8_t> data;  // as its archive holds it
    // The firmware the board then reports beside its own hardware part ("{hw}r{n}")...
    std::int32_t firmware = 0;
    // ... or, when given, the whole "version" text it reports instead.
    std::optional<std::string> version = std::nullopt;
};

// What a board was made with, as far as starting firmware goes.
struct FirmwareSetup {
    // The "version" text of the firmware it shipped with; none: the board has no "version"
    // attribute, before or after any start.
    std::optional<std::string> shipped_version;
    // What it reports when it falls back to its factory image; none: it has none.
    std::optional<std::string> factory_version;
    // Images known to this board alone; they come before the general ones.
    std::vector<KnownImage> images;
    // Firmware versions this board cannot start: held whole in its flash, such an image
    // leaves it on its factory image (or gone, without one).
    std::vector<std::int32_t> unbootable = {};
};

enum class LoadSource : std::uint8_t {
    Image,      // a known image from the image region
    Shipped,    // the firmware it shipped with, still in place
    Factory,    // the factory image: the image region holds nothing it can start
    Nothing,    // no factory image either: the board does not come back
    Unchanged,  // the board has no firmware flash: it restarts what it ran
};

struct LoadedFirmware {
    LoadSource source = LoadSource::Unchanged;
    // The "version" text it reports now; none when it has no such attribute or is gone.
    std::optional<std::string> version;
};

// The "version" text's hardware part: everything before the first "r".
std::string_view hardware_part(std::string_view version);

// The factory version a board gets when its description gives none: its hardware part with
// firmware 0.
std::string default_factory_version(std::string_view version);

// Whether `flash` holds `image` at the kind's base address, in the kind's stored form.
bool flash_holds(const FlashStorage& flash, BoardKind kind, std::span<const std::uint8_t> image);

// What a board of `kind` with the firmware flash `flash` (null for a board without one) starts
// now. `running` is the "version" it reports before the start; `catalogue` the images every
// board knows (those of the firmware archives), after the board's own.
LoadedFirmware load_firmware(const FlashStorage* flash, BoardKind kind, const FirmwareSetup& setup,
                             const std::optional<std::string>& running,
                             std::span<const KnownImage> catalogue);

}  // namespace tarnvel::sim
