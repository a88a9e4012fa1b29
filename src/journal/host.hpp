#pragma once
// The machine a write runs on, as its journal record tells of it and as later readers hold the
// record against it: the boot, the process that writes, and the people behind it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tarnvel {

// A process as a record names its writer: its id and when it started, in clock ticks after the
// boot (/proc/PID/stat). Together, on one boot, they name one process: an id that a later
// process takes over has a later start.
struct ProcessStamp {
    std::int64_t pid = 0;
    std::uint64_t start_ticks = 0;

    friend bool operator==(const ProcessStamp&, const ProcessStamp&) = default;
};

// This process; none when /proc can't tell its start.
std::optional<ProcessStamp> this_process();

// The machine's boot (/proc/sys/kernel/random/boot_id): every boot, warm or after a power
// cycle, has a new one. kUnknownBoot when it can't be read.
std::string this_boot_id();
inline constexpr const char* kUnknownBoot = "unknown";

// The user the program runs as: its name, or the uid when it has none.
std::string user_name();

// Who asked for the run: the user sudo ran it for (SUDO_USER), else the user of the login
// session it runs in (the audit login uid, which su and sudo keep), by name or uid; none when
// neither is known (a service started at boot).
std::optional<std::string> requested_by();

// The machine now, for judging a record: its boot, and whether a process still runs.
struct HostNow {
    std::string boot_id;
    std::function<bool(const ProcessStamp&)> running;

    // This machine, through /proc: a process runs when /proc shows it with the same start, not
    // a zombie. Reading /proc/PID/stat needs no privilege and disturbs nothing.
    static HostNow current();
};

// What every record of a run says of the machine and the people behind the write: read once
// when the run begins (the update reads them as it is made, on the main thread), not for each
// write, since none of them changes while the process runs.
struct HostFacts {
    std::string user;                         // user_name()
    std::string boot_id;                      // this_boot_id()
    std::optional<std::string> requested_by;  // requested_by()
    std::optional<ProcessStamp> writer;       // this_process()

    static HostFacts current();
    // The machine now on this boot, for judging a record.
    HostNow now() const;
};

}  // namespace tarnvel
