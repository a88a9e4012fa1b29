#include "sim/testbed/machine_state.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "base/atomic_file.hpp"
#include "sim/model/flash_file.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/support/file_text.hpp"
#include "sim/testbed/board_description.hpp"

namespace tarnvel::sim {
namespace {

constexpr const char* kBoardsFile = "boards";
constexpr const char* kVersionFile = "version";

Error os_error(const std::error_code& ec) {
    return Error::os(ec.value());
}

}  // namespace

Result<MachineState> MachineState::open(std::filesystem::path dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return std::unexpected(os_error(ec));
    MachineState state(std::move(dir));
    auto text = read_whole_file(state.dir_ / kBoardsFile);
    if (!text) {
        if (!std::filesystem::is_empty(state.dir_, ec) || ec) {
            return std::unexpected(
                Error::message(ErrorKind::InvalidInput,
                               fmt::format("{} is neither empty nor a simulated machine's state",
                                           state.dir_.string())));
        }
        return state;
    }
    std::vector<std::string> boards;
    for (std::size_t start = 0; start < text->size();) {
        const std::size_t end = text->find('\n', start);
        boards.push_back(text->substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    state.boards_ = std::move(boards);
    return state;
}

Status MachineState::write_boards(std::vector<std::string> boards) {
    std::string text;
    for (const std::string& board : boards) {
        if (board.find('\n') != std::string::npos) {
            return std::unexpected(
                Error::message(ErrorKind::InvalidInput, "a board description with a line break"));
        }
        text += board + "\n";
    }
    if (auto written = write_file_atomically(dir_ / kBoardsFile, text, true); !written)
        return written;
    boards_ = std::move(boards);
    return {};
}

Status MachineState::create(std::vector<std::string> boards) {
    std::error_code ec;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        std::filesystem::create_directories(board_dir(i), ec);
        if (ec) return std::unexpected(os_error(ec));
    }
    for (const auto& dir : {firmware_root() / "tarnvel", state_dir()}) {
        std::filesystem::create_directories(dir, ec);
        // As on a machine, whatever the umask: the programs refuse a journal's directory that
        // others can write in.
        if (!ec) std::filesystem::permissions(dir, std::filesystem::perms(0755), ec);
        if (ec) return std::unexpected(os_error(ec));
    }
    return write_boards(std::move(boards));
}

std::filesystem::path MachineState::board_dir(std::size_t board) const {
    return dir_ / fmt::format("board-{}", board);
}

Result<std::vector<std::string>> MachineState::boards_in_their_slots() const {
    std::vector<std::string> boards = boards_.value_or(std::vector<std::string>{});
    // As the testbed gives them out: each parent the slot after the highest so far.
    unsigned highest = 0;
    for (std::string& text : boards) {
        auto board = parse_board_description(text);
        if (!board) return std::unexpected(board.error());
        if (std::holds_alternative<SubDeviceOf>(board->config.parent)) {
            return std::unexpected(Error::message(
                ErrorKind::InvalidInput,
                fmt::format("{} holds a sub-device (parent=board:I), which names its board by "
                            "its place: change DIR/boards by hand",
                            dir_.string())));
        }
        const unsigned slot = board->config.slot.value_or(highest + 1);
        highest = std::max(highest, slot);
        if (!board->config.slot) text += fmt::format(",slot={}", slot);
    }
    return boards;
}

Status MachineState::change_boards(std::optional<std::size_t> remove,
                                   std::optional<std::pair<std::size_t, std::string>> replace) {
    auto boards = boards_in_their_slots();
    if (!boards) return std::unexpected(boards.error());
    const auto has = [this](const std::vector<std::string>& list, std::size_t index) -> Status {
        if (index < list.size()) return {};
        return std::unexpected(Error::message(
            ErrorKind::InvalidInput,
            list.empty() ? fmt::format("{} has no board {}: it has none left", dir_.string(), index)
                         : fmt::format("{} has no board {}: its boards are 0 to {}", dir_.string(),
                                       index, list.size() - 1)));
    };
    // The new list first, every change checked: nothing is changed for a change refused.
    std::vector<std::string> changed = *boards;
    if (remove) {
        if (auto there = has(changed, *remove); !there) return there;
        changed.erase(changed.begin() + static_cast<std::ptrdiff_t>(*remove));
    }
    if (replace) {
        auto& [index, board] = *replace;
        if (auto there = has(changed, index); !there) return there;
        auto description = parse_board_description(board);
        if (!description) return std::unexpected(description.error());
        if (!description->config.slot) {
            // Its predecessor's slot.
            auto old = parse_board_description(changed[index]);
            if (!old) return std::unexpected(old.error());
            board += fmt::format(",slot={}", old->config.slot.value_or(index + 1));
        }
        changed[index] = std::move(board);
    }

    std::error_code ec;
    if (remove) {
        std::filesystem::remove_all(board_dir(*remove), ec);
        for (std::size_t i = *remove + 1; !ec && i < boards->size(); ++i) {
            std::filesystem::rename(board_dir(i), board_dir(i - 1), ec);
        }
    }
    if (replace && !ec) {
        std::filesystem::remove_all(board_dir(replace->first), ec);
        std::filesystem::create_directories(board_dir(replace->first), ec);
    }
    if (ec) return std::unexpected(os_error(ec));
    return write_boards(std::move(changed));
}

Status MachineState::save(Testbed& testbed) const {
    for (std::size_t i = 0; i < testbed.board_count(); ++i) {
        const std::filesystem::path dir = board_dir(i);
        const std::filesystem::path version_file = dir / kVersionFile;
        if (auto version = testbed.attribute(i, kVersionFile)) {
            if (auto written = write_file_atomically(version_file, *version, true); !written)
                return written;
        } else {
            std::error_code ec;
            std::filesystem::remove(version_file, ec);
        }
        auto saved = testbed.with_model(i, [&dir](RegisterModel& model) -> Status {
            SimBoard* hardware = model.hardware();
            return hardware != nullptr ? save_board_flash(*hardware, dir) : Status{};
        });
        if (!saved) return saved;
    }
    return {};
}

Status MachineState::restore(Testbed& testbed) const {
    for (std::size_t i = 0; i < testbed.board_count(); ++i) {
        const std::filesystem::path dir = board_dir(i);
        if (auto version = read_whole_file(dir / kVersionFile)) {
            if (auto set = testbed.set_attribute(i, kVersionFile, *version); !set) return set;
        }
        auto restored = testbed.with_model(i, [&dir](RegisterModel& model) -> Status {
            SimBoard* hardware = model.hardware();
            return hardware != nullptr ? restore_board_flash(*hardware, dir) : Status{};
        });
        if (!restored && restored.error().kind() == ErrorKind::InvalidData) {
            // Damaged from outside (the files are only ever replaced whole): say what can be
            // done rather than power on boards with flash that was never theirs.
            return std::unexpected(Error::message(
                ErrorKind::InvalidData,
                fmt::format("{}; the machine can't be powered on as it was kept: remove that "
                            "file to power its chip on as it was when the machine was made, or "
                            "give a new state directory",
                            error_text(restored.error()))));
        }
        if (!restored) return restored;
    }
    return {};
}

}  // namespace tarnvel::sim
