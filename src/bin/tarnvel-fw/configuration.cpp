#include "bin/tarnvel-fw/configuration.hpp"

#include <fmt/format.h>
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
#include <string>

namespace tarnvel::fw {
namespace {

constexpr const char* kConfigurationVariable = "TARNVEL_CONFIG";
constexpr const char* kDefaultConfiguration = "/etc/tarnvel/tarnvel-fw.toml";

Error refused(const std::filesystem::path& file, const toml::source_region& where,
              std::string_view problem) {
    return configuration_refusal(file, where, problem);
}

bool is_sha256(std::string_view text) {
    return text.size() == 64 && std::ranges::all_of(text, [](char c) {
               return std::isdigit(static_cast<unsigned char>(c)) != 0 || (c >= 'a' && c <= 'f');
           });
}

// A list of SHA-256 digests, as sha256sum prints them; upper-case digits are taken as such.
Result<std::vector<std::string>> digests(const std::filesystem::path& file, const toml::node& node,
                                         std::string_view key) {
    const toml::array* array = node.as_array();
    if (array == nullptr) {
        return std::unexpected(
            refused(file, node.source(), fmt::format("{} is a list of SHA-256 digests", key)));
    }
    std::vector<std::string> list;
    for (const toml::node& item : *array) {
        const std::optional<std::string> text = item.value<std::string>();
        std::string digest = text.value_or("");
        for (char& c : digest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!text || !is_sha256(digest)) {
            return std::unexpected(refused(
                file, item.source(),
                fmt::format("{} holds something that is not a SHA-256 digest (64 hexadecimal "
                            "digits in quotes)",
                            key)));
        }
        list.push_back(std::move(digest));
    }
    return list;
}

// A whole number from `least` to `most`; the refusal names the upper bound where it is one of
// its own.
Result<unsigned> count(const std::filesystem::path& file, const toml::node& node,
                       std::string_view key, std::int64_t least,
                       std::int64_t most = std::numeric_limits<unsigned>::max()) {
    const std::optional<std::int64_t> value = node.value_exact<std::int64_t>();
    if (!value || *value < least || *value > most) {
        const bool bounded = most < std::numeric_limits<unsigned>::max();
        return std::unexpected(
            refused(file, node.source(),
                    bounded ? fmt::format("{} is a whole number from {} to {}", key, least, most)
                            : fmt::format("{} is a whole number from {}", key, least)));
    }
    return static_cast<unsigned>(*value);
}

// A list of minisign public keys, each as the second line of its .pub file.
Result<std::vector<MinisignKey>> keys(const std::filesystem::path& file, const toml::node& node,
                                      std::string_view key) {
    const toml::array* array = node.as_array();
    if (array == nullptr) {
        return std::unexpected(
            refused(file, node.source(), fmt::format("{} is a list of minisign public keys", key)));
    }
    std::vector<MinisignKey> list;
    for (const toml::node& item : *array) {
        const std::optional<std::string> text = item.value<std::string>();
        // One key line: the whole .pub file's text is not taken here.
        const auto parsed =
            text && !text->contains('\n') ? std::optional(parse_minisign_key(*text)) : std::nullopt;
        if (!parsed || !*parsed) {
            return std::unexpected(
                refused(file, item.source(),
                        fmt::format("{} holds something that is not a minisign public key (the "
                                    "second line of a .pub file, in quotes)",
                                    key)));
        }
        list.push_back(**parsed);
    }
    return list;
}

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
        if (key == "approved_sha256") {
            auto list = digests(file, node, key.str());
            if (!list) return std::unexpected(list.error());
            configuration.images.approved_sha256 = std::move(*list);
        } else if (key == "blocked_sha256") {
            auto list = digests(file, node, key.str());
            if (!list) return std::unexpected(list.error());
            configuration.images.blocked_sha256 = std::move(*list);
        } else if (key == "keep_backups") {
            auto n = count(file, node, key.str(), 0);
            if (!n) return std::unexpected(n.error());
            configuration.keep_backups = *n;
        } else if (key == "jobs") {
            // As --jobs takes it.
            auto n = count(file, node, key.str(), 1, kMostJobs);
            if (!n) return std::unexpected(n.error());
            configuration.jobs = *n;
        } else if (key == "rollback_on_failure") {
            const std::optional<bool> value = node.value_exact<bool>();
            if (!value) {
                return std::unexpected(
                    refused(file, node.source(), "rollback_on_failure is true or false"));
            }
            configuration.rollback_on_failure = *value;
        } else if (key == "require_signature") {
            const std::optional<bool> value = node.value_exact<bool>();
            if (!value) {
                return std::unexpected(
                    refused(file, node.source(), "require_signature is true or false"));
            }
            configuration.images.require_signature = *value;
        } else if (key == "trusted_keys") {
            auto list = keys(file, node, key.str());
            if (!list) return std::unexpected(list.error());
            configuration.images.trusted_keys.insert(configuration.images.trusted_keys.end(),
                                                     list->begin(), list->end());
        } else {
            return std::unexpected(refused(
                file, key.source(),
                fmt::format("\"{}\" is not a setting of tarnvel-fw (approved_sha256, "
                            "blocked_sha256, keep_backups, jobs, require_signature, trusted_keys, "
                            "rollback_on_failure)",
                            key.str())));
        }
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
