#pragma once
// tarnvel-fw's configuration file: what an operator sets once per host. /etc/tarnvel/
// tarnvel-fw.toml, or the file TARNVEL_CONFIG names (an absolute path); a missing file sets
// nothing, and one that others can have written is refused.
//
//   approved_sha256 = ["…", …]   only these images are written
//   blocked_sha256 = ["…", …]    these images are never written, not even with --force
//   keep_backups = 2              the backups kept per board after a verified write
//   jobs = 4                      how many boards update writes at once
//   rollback_on_failure = true    update --reboot writes a board's backup back when the board
//                                 does not come back running the image
//   require_signature = true      only archives and images signed by a trusted key are written
//   trusted_keys = ["RWQ…", …]    minisign public keys, as the second line of a .pub file
//
// The keys of every .pub file in trusted-keys.d beside the file are trusted too.

#include <filesystem>
#include <optional>

#include "base/error.hpp"
#include "update/image_policy.hpp"

namespace tarnvel::fw {

struct Configuration {
    ImagePolicy images;
    std::optional<unsigned> keep_backups;
    std::optional<unsigned> jobs;
    bool rollback_on_failure = false;
};

// TARNVEL_CONFIG, or /etc/tarnvel/tarnvel-fw.toml.
std::filesystem::path configuration_file();

// The file read and checked: a missing file is an empty configuration; one that can't be read
// or trusted (read_configuration_file), is not TOML, holds a key this program does not know or
// a value of the wrong kind is refused, the error naming the file, the line and the column.
Result<Configuration> read_configuration(const std::filesystem::path& file);

// The directory of trusted keys beside the configuration file `file`.
std::filesystem::path trusted_key_directory(const std::filesystem::path& file);

// The program's configuration_file() read, or none after a notice on standard error saying
// where it is wrong: the command then touches nothing and exits with status 2.
std::optional<Configuration> program_configuration();

}  // namespace tarnvel::fw
