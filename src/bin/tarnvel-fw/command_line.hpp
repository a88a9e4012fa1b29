#pragma once
// tarnvel-fw's command line: its commands and their options, parsed by CLI11 into plain values.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarnvel::fw {

struct ListCommand {
    bool json = false;
};

struct VerifyCommand {
    std::vector<std::string> boards;  // device nodes; none: every supported board
    std::optional<std::string> image;
    bool json = false;
};

struct DumpCommand {
    std::string board;
    std::string output;
    std::optional<std::uint32_t> length;
    bool force = false;
};

enum class RebootChoice : std::uint8_t {
    Ask,  // neither --reboot nor --no-reboot: asked without --yes, no reboot with it
    Reboot,
    NoReboot,
};

struct UpdateCommand {
    std::vector<std::string> boards;  // device nodes; none: every supported board
    bool yes = false;
    bool force = false;
    RebootChoice reboot = RebootChoice::Ask;
    std::optional<std::string> image;
    bool json = false;
    bool no_journal = false;  // write without recording the writes in the journal
    // Erase and write every block the image covers, not only those that differ from it.
    bool full = false;
    // Boards written at once; none: every selected board.
    std::optional<unsigned> jobs;
    // Write without keeping what the flash held first.
    bool no_backup = false;
    // How many backups of a board stay after a verified write; none: the configuration's, or 2.
    std::optional<unsigned> keep_backups;
    // `rollback`: write back the newest backup of each board, or the one of this record.
    bool rollback = false;
    std::optional<std::int64_t> rollback_to;
    // `update --reboot`: a board that does not come back running the image gets its backup
    // written back and is rebooted again.
    bool rollback_on_failure = false;
};

struct HistoryCommand {
    std::optional<std::string> board;   // device node; none: every board
    std::optional<std::int64_t> since;  // only records started then or later, in Unix seconds
    std::optional<unsigned> limit;      // only the newest this many
    bool json = false;
};

struct ForgetCommand {
    std::string pci;  // the slot of a missing board, as list shows it
    bool yes = false;
};

struct MetricsCommand {
    std::optional<std::string> output;  // none: standard output
};

using Command = std::variant<ListCommand, VerifyCommand, DumpCommand, UpdateCommand, HistoryCommand,
                             MetricsCommand, ForgetCommand>;

// What the command line asks for, or that the program ends at once with `exit_status` (after
// --help, --version, "help COMMAND" or a usage error, whose message has gone to standard error).
struct ParsedCommandLine {
    std::optional<Command> command;
    int exit_status = 0;
};

ParsedCommandLine parse_command_line(int argc, char** argv);

}  // namespace tarnvel::fw
