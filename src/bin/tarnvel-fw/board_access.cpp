#include "bin/tarnvel-fw/board_access.hpp"

#include <fmt/format.h>

namespace tarnvel::fw {

std::string access_failure_text(AccessFailure::Stage stage, const Error& error) {
    const std::string text = error_text(error);
    switch (stage) {
        case AccessFailure::Stage::Locked:
            return fmt::format("the board is locked by another process ({})", text);
        case AccessFailure::Stage::Open: return fmt::format("can't open the board: {}", text);
        case AccessFailure::Stage::Flash:
            return fmt::format("can't reach the board's flash: {}", text);
        case AccessFailure::Stage::Identify:
            return fmt::format("can't identify the board's flash: {}", text);
        case AccessFailure::Stage::Fit: return fmt::format("the flash part does not fit: {}", text);
        case AccessFailure::Stage::Read: return fmt::format("reading the flash failed: {}", text);
    }
    return text;
}

}  // namespace tarnvel::fw
