#pragma once
// A private firmware directory for a simulated run: a directory T holding T/tarnvel/*.zip,
// which the runner binds onto /lib/firmware for the program alone. T is temporary unless it
// is a machine's that is kept (at()).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "device/board_table.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel::sim {

class FirmwareDir {
  public:
    // An empty T/tarnvel.
    static Result<FirmwareDir> create();
    // T/tarnvel is a symbolic link to an existing directory of archives.
    static Result<FirmwareDir> link_to(const std::filesystem::path& archives);
    // T is `root`, made with T/tarnvel when missing, and kept.
    static Result<FirmwareDir> at(const std::filesystem::path& root);

    // T: what goes onto /lib/firmware.
    const std::filesystem::path& path() const { return root_; }
    // T/tarnvel: where the archives lie.
    std::filesystem::path archive_dir() const { return root_ / "tarnvel"; }

    // A ZIP archive T/tarnvel/<file_name> with the given entries (at least one).
    Status add_archive(std::string_view file_name, const std::vector<FirmwareEntry>& entries);
    // Any file T/tarnvel/<file_name> with the given bytes (for example a damaged archive).
    Status add_file(std::string_view file_name, std::span<const std::uint8_t> bytes);
    // The archive a board of this kind and hardware version looks for, holding one image of
    // the given version under the kind's entry name; answers the archive's path.
    Result<std::string> add_board_image(BoardKind kind, std::uint8_t hw_major,
                                        std::uint8_t hw_minor, std::int32_t version,
                                        std::vector<std::uint8_t> image);

  private:
    explicit FirmwareDir(TempDir temp) : root_(temp.path()), temp_(std::move(temp)) {}
    explicit FirmwareDir(std::filesystem::path root) : root_(std::move(root)) {}

    std::filesystem::path root_;
    std::optional<TempDir> temp_;  // removed with everything in it when this goes
};

}  // namespace tarnvel::sim
