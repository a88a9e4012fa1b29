#include "base/system_log.hpp"

#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>

#include <systemd/sd-journal.h>

#include <fmt/format.h>

#include <cerrno>
#include <mutex>

namespace tarnvel {
namespace {

// Where journald takes entries.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

}  // namespace

SystemLog::Sinks SystemLog::machine_sinks() {
    return Sinks{
        .journal =
            [](std::span<const std::string> fields) {
                // sd_journal_sendv drops an entry and answers 0 when its socket is not there
                // (a machine without journald): that is the machine for syslog.
                struct stat place {};
                if (::stat(kJournalSocket, &place) != 0 || !S_ISSOCK(place.st_mode)) {
                    return -ENOENT;
                }
                std::vector<iovec> parts;
                parts.reserve(fields.size());
                for (const std::string& field : fields) {
                    parts.push_back(iovec{.iov_base = const_cast<char*>(field.data()),
                                          .iov_len = field.size()});
                }
                return sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
            },
        .syslog =
            [](const std::string& identifier, int priority, const std::string& line) {
                // openlog keeps the pointer: the identifier lives as long as the program.
                static const std::string kept = identifier;
                ::openlog(kept.c_str(), LOG_PID, LOG_USER);
                ::syslog(priority, "%s", line.c_str());
            },
    };
}

SystemLog::SystemLog(std::string identifier, Sinks sinks)
    : identifier_(std::move(identifier)), sinks_(std::move(sinks)) {}

void SystemLog::send(const LogEntry& entry) const {
    std::vector<std::string> fields{fmt::format("MESSAGE={}", entry.message),
                                    fmt::format("PRIORITY={}", entry.priority),
                                    fmt::format("SYSLOG_IDENTIFIER={}", identifier_)};
    for (const auto& [name, value] : entry.fields) fields.push_back(name + "=" + value);
    // Boards written at once log from their own threads: one entry at a time, so that no sink
    // need be safe for threads itself (the journal's socket is made by the first entry).
    static std::mutex one_at_a_time;
    const std::lock_guard hold(one_at_a_time);
    if (sinks_.journal && sinks_.journal(fields) >= 0) return;
    if (sinks_.syslog) sinks_.syslog(identifier_, entry.priority, entry.message);
}

}  // namespace tarnvel
