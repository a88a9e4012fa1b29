#include "firmware/firmware_archive.hpp"

#include <cerrno>

namespace tarnvel {

// Not built yet.
std::string firmware_archive_path(BoardKind, std::uint8_t, std::uint8_t) { return {}; }
Result<FirmwareImage> find_firmware_image(const BoardDevice&) {
    return std::unexpected(Error::os(ENOSYS));
}
void report_firmware_image(const FirmwareImage&, const BoardDevice&) {}

}  // namespace tarnvel
