#pragma once
// The system log, where an administrator audits a host: the systemd journal, with fields that
// journalctl can select on, or, on a machine without journald, syslog with the message alone.

#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tarnvel {

struct LogEntry {
    int priority;  // LOG_NOTICE, LOG_ERR, ... of <syslog.h>
    std::string message;
    // Fields of the journal beside MESSAGE, by name in upper case ("TARNVEL_PCI").
    std::vector<std::pair<std::string, std::string>> fields;
};

class SystemLog {
  public:
    // Where entries go.
    struct Sinks {
        // Sends the fields ("NAME=value") as one entry of the systemd journal; 0, or a negative
        // error number when the journal can't take it (no journald runs, say: its socket is
        // not there).
        std::function<int(std::span<const std::string> fields)> journal;
        // Sends a line to syslog under the identifier, with the priority.
        std::function<void(const std::string& identifier, int priority, const std::string& line)>
            syslog;
    };
    // The machine's: sd_journal_sendv, and syslog(3) of the facility LOG_USER with the pid.
    static Sinks machine_sinks();

    // Entries under `identifier` (the program's name).
    SystemLog(std::string identifier, Sinks sinks = machine_sinks());

    // To the journal, or where it can't be reached, to syslog. Never fails: a log that can't
    // be written costs the entry, not the run. Safe from any thread: entries go one at a time.
    void send(const LogEntry& entry) const;

  private:
    std::string identifier_;
    Sinks sinks_;
};

}  // namespace tarnvel
