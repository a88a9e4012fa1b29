#include "bin/tarnvel-flash/firmware_report.hpp"

#include <fmt/format.h>

#include "base/dialogue.hpp"

namespace tarnvel {

void report_firmware_image(std::int32_t image_version, std::optional<VersionOrder> versions) {
    print(fmt::format("\tFirmware available: {}, \n", image_version));
    if (versions == VersionOrder::Same) {
        print("\tNo firmware upgrade required\n");
    } else if (versions == VersionOrder::BoardNewer) {
        print("\tNo firmware upgrade required - firmware is newer\n");
    }
}

}  // namespace tarnvel
