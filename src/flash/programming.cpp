#include "flash/programming.hpp"

#include <cerrno>

namespace tarnvel {

// Not built yet.
Status program_firmware(BoardDevice&, const FirmwareImage&) {
    return std::unexpected(Error::os(ENOSYS));
}

}  // namespace tarnvel
