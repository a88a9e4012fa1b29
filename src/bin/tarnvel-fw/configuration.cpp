#include "bin/tarnvel-fw/configuration.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <toml++/toml.h>

#include "bin/tarnvel-fw/console.hpp"
#include "firmware/minisign.hpp"
#include "update/configuration_file.hpp"
#include "update/update_run.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <ranges>
#include <string>

namespace tarnvel::fw {
namespace {

constexpr const char* kConfigurationVariable = "TARNVEL_CONFIG";
constexpr const char* kDefaultConfiguration = "/etc/tarnvel/tarnvel-fw.toml";

// Where a value stands: the file, the value's node and its key, for a refusal that names them.
struct Place {
    const std::filesystem::path& file;
    const toml::node& node;
    std::string_view key;
};

Error refused(const Place& at, const toml::source_region& where, std::string_view problem) {
    return configuration_refusal(at.file, where, problem);
}

bool is_sha256(std::string_view text) {
    return text.size() == 64 && std::ranges::all_of(text, [](char c) {
               return std::isdigit(static_cast<unsigned char>(c)) != 0 || (c >= 'a' && c <= 'f');
           });
}

// A list whose every item `convert` takes; `plural` names what the list holds, `one` what an
// item should be.
template <class Item, class Convert>
Result<std::vector<Item>> list_of(const Place& at, std::string_view plural, std::string_view one,
                                  Convert convert) {
    const toml::array* array = at.node.as_array();
    if (array == nullptr) {
        return std::unexpected(
            refused(at, at.node.source(), fmt::format("{} is a list of {}", at.key, plural)));
    }
    std::vector<Item> list;
    for (const toml::node& item : *array) {
        auto value = convert(item);
        if (!value) {
            return std::unexpected(refused(
                at, item.source(), fmt::format("{} holds something that is not {}", at.key, one)));
        }
        list.push_back(std::move(*value));
    }
    return list;
}

// A list of SHA-256 digests, as sha256sum prints them; upper-case digits are taken as such.
Result<std::vector<std::string>> digests(const Place& at) {
    return list_of<std::string>(
        at, "SHA-256 digests", "a SHA-256 digest (64 hexadecimal digits in quotes)",
        [](const toml::node& item) -> std::optional<std::string> {
            std::string digest = item.value<std::string>().value_or("");
            for (char& c : digest) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            return is_sha256(digest) ? std::optional(std::move(digest)) : std::nullopt;
        });
}

// A list of minisign public keys, each as the second line of its .pub file.
Result<std::vector<MinisignKey>> keys(const Place& at) {
    return list_of<MinisignKey>(at, "minisign public keys",
                                "a minisign public key (the second line of a .pub file, in quotes)",
                                [](const toml::node& item) -> std::optional<MinisignKey> {
                                    const std::optional<std::string> text =
                                        item.value<std::string>();
                                    // One key line: the whole .pub file's text is not taken here.
                                    if (!text || text->contains('\n')) return std::nullopt;
                                    auto key = parse_minisign_key(*text);
                                    return key ? std::optional(*key) : std::nullopt;
                                });
}

// A whole number from `least` to `most`; the refusal names the upper bound where it is one of
// its own.
Result<unsigned> count(const Place& at, std::int64_t least,
                       std::int64_t most = std::numeric_limits<unsigned>::max()) {
    const std::optional<std::int64_t> value = at.node.value_exact<std::int64_t>();
    if (!value || *value < least || *value > most) {
        const bool bounded = most < std::numeric_limits<unsigned>::max();
        return std::unexpected(
            refused(at, at.node.source(),
                    bounded ? fmt::format("{} is a whole number from {} to {}", at.key, least, most)
                            : fmt::format("{} is a whole number from {}", at.key, least)));
    }
    return static_cast<unsigned>(*value);
}

Result<bool> flag(const Place& at) {
    const std::optional<bool> value = at.node.value_exact<bool>();
    if (!value) {
        return std::unexpected(
            refused(at, at.node.source(), fmt::format("{} is true or false", at.key)));
    }
    return *value;
}

// `field` set to what was read, or the refusal handed on.
template <class Value, class Field>
Result<void> set(Result<Value> read, Field& field) {
    if (!read) return std::unexpected(std::move(read.error()));
    field = std::move(*read);
    return {};
}

// The settings, in the order a refusal of an unknown key lists them, each with how its value
// is read into the configuration.
struct Setting {
    std::string_view key;
    Result<void> (*read)(const Place& at, Configuration& configuration);
};

constexpr Setting kSettings[] = {
    {"approved_sha256",
     [](const Place& at, Configuration& c) { return set(digests(at), c.images.approved_sha256); }},
    {"blocked_sha256",
     [](const Place& at, Configuration& c) { return set(digests(at), c.images.blocked_sha256); }},
    {"keep_backups",
     [](const Place& at, Configuration& c) { return set(count(at, 0), c.keep_backups); }},
    // As --jobs takes it.
    {"jobs",
     [](const Place& at, Configuration& c) { return set(count(at, 1, kMostJobs), c.jobs); }},
    {"require_signature",
     [](const Place& at, Configuration& c) { return set(flag(at), c.images.require_signature); }},
    {"trusted_keys",
     [](const Place& at, Configuration& c) { return set(keys(at), c.images.trusted_keys); }},
    {"rollback_on_failure",
     [](const Place& at, Configuration& c) { return set(flag(at), c.rollback_on_failure); }},
};

}  // namespace

std::filesystem::path trusted_key_directory(const std::filesystem::path& file) {
    return file.parent_path() / "trusted-keys.d";
}

std::filesystem::path configuration_file() {
    const char* named = std::getenv(kConfigurationVariable);
    return named != nullptr && *named != '\0' ? named : kDefaultConfiguration;
}

Result<Configuration> read_configuration(const std::filesystem::path& file) {
    Configuration configuration;
    // Read only where no one but root and the caller can have written it, bounded before the
    // parser sees it; a file that is there and can't be read is an error, never no policy.
    auto read = read_configuration_file(file);
    if (!read) return std::unexpected(read.error());
    if (!*read) return configuration;
    const toml::table& table = **read;
    for (const auto& [key, node] : table) {
        const auto setting = std::ranges::find(kSettings, key.str(), &Setting::key);
        if (setting == std::ranges::end(kSettings)) {
            return std::unexpected(configuration_refusal(
                file, key.source(),
                fmt::format("\"{}\" is not a setting of tarnvel-fw ({})", key.str(),
                            fmt::join(kSettings | std::views::transform(&Setting::key), ", "))));
        }
        auto taken = setting->read({.file = file, .node = node, .key = key.str()}, configuration);
        if (!taken) return std::unexpected(std::move(taken.error()));
    }
    // The key directory beside the file, checked as the file is.
    auto directory_keys = load_trusted_key_dir(trusted_key_directory(file).string());
    if (!directory_keys) return std::unexpected(std::move(directory_keys.error()));
    configuration.images.trusted_keys.insert(configuration.images.trusted_keys.end(),
                                             directory_keys->begin(), directory_keys->end());
    return configuration;
}

std::optional<Configuration> program_configuration() {
    auto configuration = read_configuration(configuration_file());
    if (!configuration) {
        notice(fmt::format("tarnvel-fw: {}\n", error_text(configuration.error())));
        return std::nullopt;
    }
    return std::move(*configuration);
}

}  // namespace tarnvel::fw
