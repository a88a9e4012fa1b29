#include "sim/testbed/described_boards.hpp"

#include <fmt/format.h>

#include <memory>
#include <utility>

#include "sim/model/register_faults.hpp"
#include "sim/model/register_file.hpp"
#include "sim/model/sim_board.hpp"

namespace tarnvel::sim {
namespace {

bool wants_hardware(const BoardDescription& board) {
    switch (board.model) {
        case ModelChoice::Hardware: return true;
        case ModelChoice::Registers: return false;
        case ModelChoice::Auto: return board.kind && *board.kind != BoardKind::Unsupported;
    }
    return false;
}

// The image version the archive plan asks for, or why there is none.
Result<std::int32_t> planned_image_version(const BoardDescription& board, std::uint32_t fw) {
    const auto version = static_cast<std::int32_t>(fw);
    switch (board.archive) {
        case ArchivePlan::Newer: return version + 1;
        case ArchivePlan::Equal: return version;
        case ArchivePlan::Older:
            if (version == 0) break;
            return version - 1;
        case ArchivePlan::None: break;
    }
    return std::unexpected(Error::message(ErrorKind::InvalidInput, "no image older than 0"));
}

// Writes the board's archive; answers a note when it can't.
std::optional<std::string> plan_archive(const BoardDescription& board, std::size_t index,
                                        FirmwareDir& archives) {
    if (!board.kind || board.archive == ArchivePlan::None) return std::nullopt;
    const BoardKind kind = *board.kind;
    if (board_info(kind).archive_form == ArchiveForm::None) return std::nullopt;
    const std::string version = board.config.version.value_or("");
    const auto fw = firmware_of(version);
    if (!fw)
        return fmt::format("board {}: no archive, its version \"{}\" has no firmware", index,
                           version);
    auto image_version = planned_image_version(board, *fw);
    if (!image_version)
        return fmt::format("board {}: no archive, firmware 0 has no older image", index);

    const std::string hw_text = version.substr(0, version.find('r'));
    const auto [major, minor] = map_hw_version(kind, hw_text);
    auto image = firmware_bytes(board.image_size, static_cast<std::uint32_t>(index) << 16 ^
                                                      static_cast<std::uint32_t>(*image_version));
    auto written = archives.add_board_image(kind, major, minor, *image_version, std::move(image));
    if (!written) {
        return fmt::format("board {}: archive not written: {}", index, error_text(written.error()));
    }
    return std::nullopt;
}

}  // namespace

Result<std::size_t> add_hardware_board(Testbed& testbed, BoardKind kind, BoardConfig config,
                                       const BoardOptions& options,
                                       std::optional<RegisterFault> fault) {
    config.model = make_board_model(kind, options);
    if (fault) config.model = std::make_unique<RegisterFaults>(std::move(config.model), *fault);
    return testbed.add_board(std::move(config));
}

Result<std::vector<std::string>> add_described_boards(Testbed& testbed, FirmwareDir* archives,
                                                      std::vector<BoardDescription> boards) {
    std::vector<std::string> notes;
    for (BoardDescription& board : boards) {
        const std::size_t index = testbed.board_count();
        if (archives != nullptr) {
            if (auto note = plan_archive(board, index, *archives))
                notes.push_back(std::move(*note));
        }

        if (wants_hardware(board)) {
            auto added =
                add_hardware_board(testbed, *board.kind, std::move(board.config),
                                   board_options(*board.kind, board.flash_part), board.fault);
            if (!added) return std::unexpected(added.error());
            continue;
        }
        std::unique_ptr<RegisterModel> model = std::make_unique<RegisterFile>();
        if (board.fault) model = std::make_unique<RegisterFaults>(std::move(model), *board.fault);
        board.config.model = std::move(model);
        auto added = testbed.add_board(std::move(board.config));
        if (!added) return std::unexpected(added.error());
    }
    return notes;
}

}  // namespace tarnvel::sim
