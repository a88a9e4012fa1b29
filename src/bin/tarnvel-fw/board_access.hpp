#pragma once
// Why a board's flash could not be reached, in the words every command uses.

#include <string>

#include "update/board_access.hpp"

namespace tarnvel::fw {

// "the board is locked by another process (…)", "the flash part does not fit: …" and so on.
std::string access_failure_text(AccessFailure::Stage stage, const Error& error);

}  // namespace tarnvel::fw
