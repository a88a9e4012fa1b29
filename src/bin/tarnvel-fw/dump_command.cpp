#include "bin/tarnvel-fw/dump_command.hpp"

#include <fmt/format.h>

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "base/atomic_file.hpp"
#include "base/stop_signals.hpp"
#include "base/utf8.hpp"
#include "bin/tarnvel-fw/board_access.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/progress_bar.hpp"
#include "firmware/image_fit.hpp"
#include "update/board_access.hpp"
#include "update/image_choice.hpp"

namespace tarnvel::fw {
namespace {

namespace fs = std::filesystem;

// `why` may quote --board and --output as typed: their control characters are escaped.
int refuse(int status, std::string_view why) {
    notice(fmt::format("tarnvel-fw: {}\n", printable(why)));
    return status;
}

// Where the copy goes must be a place for a new file: its directory exists, its name fits the
// file system, and the name is free, or with --force taken by a regular file that may be
// replaced. A symbolic link is never followed, a device node or FIFO never written into.
std::optional<std::string> output_problem(const fs::path& output, bool force) {
    if (output.empty()) return std::string("--output needs a file name");
    std::error_code error;
    const fs::path directory = output.has_parent_path() ? output.parent_path() : fs::path(".");
    if (!fs::is_directory(directory, error)) {
        return fmt::format("the directory of --output {} does not exist", output.string());
    }
    const long name_max = ::pathconf(directory.c_str(), _PC_NAME_MAX);
    if (output.filename().native().size() >
        static_cast<std::size_t>(name_max > 0 ? name_max : NAME_MAX)) {
        return fmt::format("--output {}: the name is longer than its file system allows",
                           output.string());
    }
    const fs::file_status status = fs::symlink_status(output, error);
    if (fs::is_directory(status)) return fmt::format("--output {} is a directory", output.string());
    if (!fs::exists(status)) return std::nullopt;
    if (!force) return fmt::format("{} exists; --force replaces it", output.string());
    if (!fs::is_regular_file(status)) {
        return fmt::format("{} is {}; --force replaces only a regular file", output.string(),
                           file_type_text(status.type()));
    }
    return std::nullopt;
}

}  // namespace

int run_dump(std::span<BoardDevice> boards, const DumpCommand& command) {
    auto selected = select_boards(boards, {command.board});
    if (!selected) return refuse(kExitUsage, selected.error());
    if (auto problem = output_problem(command.output, command.force)) {
        return refuse(kExitUsage, *problem);
    }
    BoardDevice& board = *selected->front();
    const std::uint64_t window = firmware_window(board.kind);
    if (board.kind == BoardKind::Unsupported || window == 0) {
        return refuse(kExitBoardFailed, fmt::format("{} ({}) has no firmware image region to read",
                                                    board.devnode, board_title(board)));
    }

    std::uint32_t length = 0;
    if (command.length) {
        if (*command.length > window) {
            return refuse(kExitUsage,
                          fmt::format("--length {} reaches past the image region of {} ({} bytes)",
                                      *command.length, board.devnode, window));
        }
        length = *command.length;
    } else {
        // The size the archive's directory declares: no image data is read for it.
        auto image = look_up_image(board);
        if (!image) {
            return refuse(kExitBoardFailed,
                          fmt::format("{} has no firmware image to take the length from ({}); "
                                      "give --length",
                                      board.devnode, image.error().error.value_or("")));
        }
        length = static_cast<std::uint32_t>(image->size);
    }

    // A stop signal ends the reading at the next block, and the unfinished file goes away
    // before the signal ends the program. Once the file has its name it stays: a signal that
    // comes while it is saved ends the program after the result line has said so.
    bool written = false;
    StopSignalHold hold([&] {
        if (written) return;
        notice(fmt::format("tarnvel-fw: stopped by a signal; {} was not written\n",
                           printable(command.output)));
    });
    auto file = AtomicFile::create(command.output, command.force);
    if (!file) {
        return refuse(kExitBoardFailed, fmt::format("can't create a file beside {}: {}",
                                                    command.output, error_text(file.error())));
    }
    std::expected<void, AccessFailure> read;
    {
        ProgressScreen screen;
        ProgressBar progress(screen, "reading", identity_of(board));
        read = read_flash(board, length, progress,
                          [&](std::span<const std::uint8_t> bytes) -> Status {
                              if (hold.stop_waiting()) return std::unexpected(Error::os(EINTR));
                              return file->write(bytes);
                          });
    }
    // Stopped by a signal, also one that came after the last block: the hold's notice says so
    // as the program ends.
    if (hold.stop_waiting()) return kExitBoardFailed;
    if (!read) {
        // A length past the end of the part is known only once the part has said how large
        // it is.
        const AccessFailure& failure = read.error();
        return refuse(kExitBoardFailed,
                      failure.stage == AccessFailure::Stage::Read
                          ? fmt::format("{}: reading the flash into {} failed: {}", board.devnode,
                                        command.output, error_text(failure.error))
                          : fmt::format("{}: {}", board.devnode,
                                        access_failure_text(failure.stage, failure.error)));
    }
    if (auto committed = file->commit(); !committed) {
        return refuse(kExitBoardFailed, fmt::format("can't write {}: {}", command.output,
                                                    error_text(committed.error())));
    }
    written = true;
    report(fmt::format("{}: {} bytes of the image region written to {}\n", board.devnode, length,
                       printable(command.output)));
    return kExitOk;
}

}  // namespace tarnvel::fw
