#include "bin/tarnvel-fw/configuration.hpp"

#include <sys/stat.h>

#include <fmt/format.h>
#include <toml++/toml.h>

#include "bin/tarnvel-fw/console.hpp"
#include "update/parallel_update.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace tarnvel::fw {
namespace {

constexpr const char* kConfigurationVariable = "TARNVEL_CONFIG";
constexpr const char* kDefaultConfiguration = "/etc/tarnvel/tarnvel-fw.toml";
// A configuration is a few lines; a larger file is not one.
constexpr off_t kLargestFile = 1 << 20;

Error refused(const std::filesystem::path& file, const toml::source_region& where,
              std::string_view problem) {
    return Error::message(ErrorKind::InvalidInput,
                          fmt::format("{}: line {}, column {}: {}", file.string(), where.begin.line,
                                      where.begin.column, problem));
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

}  // namespace

std::filesystem::path configuration_file() {
    const char* named = std::getenv(kConfigurationVariable);
    return named != nullptr && *named != '\0' ? named : kDefaultConfiguration;
}

Result<Configuration> read_configuration(const std::filesystem::path& file) {
    Configuration configuration;
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        if (errno == ENOENT) return configuration;
        return std::unexpected(
            Error::message(error_kind_for_errno(errno),
                           fmt::format("{}: {}", file.string(), std::strerror(errno))));
    }
    if (!S_ISREG(info.st_mode) || info.st_size > kLargestFile) {
        return std::unexpected(Error::message(
            ErrorKind::InvalidInput,
            fmt::format("{}: not a configuration file (a regular file of at most 1 MiB)",
                        file.string())));
    }
    toml::table table;
    try {
        table = toml::parse_file(file.string());
    } catch (const toml::parse_error& error) {
        return std::unexpected(refused(file, error.source(), error.description()));
    }
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
        } else {
            return std::unexpected(
                refused(file, key.source(),
                        fmt::format("\"{}\" is not a setting of tarnvel-fw (approved_sha256, "
                                    "blocked_sha256, keep_backups, jobs, rollback_on_failure)",
                                    key.str())));
        }
    }
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
