#pragma once
// The host's configuration file as a program reads it before it knows a key of it: held to the
// rules of the files root trusts (base/trusted_file.hpp), since it decides which images may be
// written and how many backups are kept, and bounded before a byte of it reaches the TOML
// parser, which recurses once for each level of a dotted key or a nested table and would run
// out of stack on a file nested some tens of thousands deep.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

#include <toml++/toml.h>

#include "base/error.hpp"

namespace tarnvel {

// A configuration is a few lines; a larger file is not one.
inline constexpr std::size_t kLargestConfiguration = std::size_t{1} << 20;
// How deep tables, arrays and the parts of a dotted key may nest, all counted together: the
// settings take two levels at most.
inline constexpr std::size_t kDeepestConfiguration = 32;

// `text`, the file `file` holds, parsed: refused with "FILE: line L, column C: what" when it is
// larger or nests deeper than a configuration may, or is not TOML. Control characters in the
// text of a refusal are escaped.
Result<toml::table> parse_configuration(std::string_view text, const std::filesystem::path& file);

// The file at `file` read as a trusted file (read_trusted_file) and parsed: none when nothing
// is at its name. A file that is there and can't be read or trusted is an error, never no
// configuration.
Result<std::optional<toml::table>> read_configuration_file(const std::filesystem::path& file);

// A refusal of what `file` holds at `where`, as parse_configuration words its own.
Error configuration_refusal(const std::filesystem::path& file, const toml::source_region& where,
                            std::string_view problem);

}  // namespace tarnvel
