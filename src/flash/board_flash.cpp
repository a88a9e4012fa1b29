#include "flash/board_flash.hpp"

#include <cerrno>

namespace tarnvel {

// Not built yet: the controller classes replace this.
Status attach_flash(BoardDevice&) { return std::unexpected(Error::os(ENOSYS)); }

}  // namespace tarnvel
