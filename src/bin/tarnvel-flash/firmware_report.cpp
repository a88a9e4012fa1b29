#include "bin/tarnvel-flash/firmware_report.hpp"

#include <fmt/format.h>

#include "base/dialogue.hpp"

namespace tarnvel {

void report_firmware_image(const FirmwareImage& image, const BoardDevice& board) {
    print(fmt::format("\tFirmware available: {}, \n", image.version));
    // Compared in 32 bits: an image version above 65535 is newer than any board firmware.
    const auto board_version = static_cast<std::int32_t>(board.fw_version);
    if (image.version == board_version) {
        print("\tNo firmware upgrade required\n");
    } else if (image.version < board_version) {
        print("\tNo firmware upgrade required - firmware is newer\n");
    }
}

}  // namespace tarnvel
