#include "bin/tarnvel-fw/command_line.hpp"

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <expected>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include "base/utf8.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/help_text.hpp"
#include "bin/tarnvel-fw/since_time.hpp"
#include "journal/journal.hpp"
#include "update/update_run.hpp"

namespace tarnvel::fw {
namespace {

// What an operator does comes first; how it reports and its exit statuses close the help.
constexpr const char* kDescription =
    "tarnvel-fw updates, checks and reads back the firmware in the configuration flash of "
    "tarnvel PCIe boards, at a terminal or unattended.\n"
    "\n"
    "What an operator does:\n"
    "  tarnvel-fw list            what each board runs, and what its archive holds\n"
    "  tarnvel-fw update          write the newer images, asking for each board\n"
    "  tarnvel-fw update --yes    the same without questions, for scripts and fleets\n"
    "  tarnvel-fw verify          compare each board's flash with its archive's image\n"
    "  tarnvel-fw history         every write the journal recorded, newest first\n"
    "  tarnvel-fw rollback --board NODE\n"
    "                             write back what the flash held before the last write\n"
    "  tarnvel-fw help COMMAND    a command's options\n";

constexpr const char* kFooter =
    "Results go to standard output, progress and questions to standard error. Exit status: 0 "
    "when every selected board ended as asked, 1 when any did not (or no board was found to "
    "update or verify), 2 for a usage error, 101 after an internal fault.";

// Options as the manual page writes them: the value's name after the option and nothing more;
// what an option needs or excludes, its description says. Every text is wrapped at the
// terminal's width, descriptions beside the names' column.
class OptionFormatter final : public CLI::Formatter {
  public:
    OptionFormatter() : width_(help_width()) {}

    std::string make_description(const CLI::App* app) const override {
        return paragraph(app->get_description());
    }
    std::string make_footer(const CLI::App* app) const override {
        return paragraph(app->get_footer());
    }
    std::string make_subcommand(const CLI::App* command) const override {
        std::ostringstream out;
        CLI::detail::format_help(out, command->get_display_name(),
                                 wrap_text(command->get_description(), beside_names()),
                                 column_width_);
        return out.str();
    }
    std::string make_option_desc(const CLI::Option* option) const override {
        return wrap_text(option->get_description(), beside_names());
    }
    std::string make_option_opts(const CLI::Option* option) const override {
        std::string text;
        if (option->get_type_size() != 0) {
            if (!option->get_type_name().empty()) text += " " + option->get_type_name();
            if (option->get_expected_max() == CLI::detail::expected_max_vector_size) text += " ...";
            if (option->get_required()) text += " REQUIRED";
        }
        return text;
    }

  private:
    // A text across the whole width, on lines of its own; none where there is no text.
    std::string paragraph(const std::string& text) const {
        return text.empty() ? std::string() : wrap_text(text, width_) + "\n";
    }

    // What a line has for a description beside the names' column.
    std::size_t beside_names() const {
        return width_ > column_width_ + 20 ? width_ - column_width_ : 20;
    }

    std::size_t width_;
};

// What a usage error prints on standard error: the program's name, the problem, and where to
// read more. The problem quotes what was typed: its control characters are escaped, so that
// an argument can't move the cursor, recolour the terminal or end the line.
std::string usage_message(std::string_view problem) {
    return fmt::format(
        "tarnvel-fw: {}\nRun tarnvel-fw --help, or tarnvel-fw help COMMAND, for more "
        "information.\n",
        printable(problem));
}

// A byte count as the manual page gives it: decimal or 0x hexadecimal digits, optionally
// followed by K (1024 bytes) or M (1024 KiB), and nothing else (no sign, no blank, no octal);
// below 4 GiB.
std::optional<std::uint32_t> parse_byte_count(std::string_view text) {
    std::uint64_t unit = 1;
    if (text.ends_with('K') || text.ends_with('M')) {
        unit = text.back() == 'K' ? 1024 : 1024 * 1024;
        text.remove_suffix(1);
    }
    int base = 10;
    if (text.starts_with("0x")) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        count > UINT32_MAX / unit) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(count * unit);
}

// A whole number in decimal digits and nothing else (no sign, no blank, no 0x), from `least`.
template <class Number>
std::optional<Number> parse_whole(std::string_view text, Number least) {
    Number number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || text.front() == '-' || error != std::errc() ||
        end != text.data() + text.size() || number < least) {
        return std::nullopt;
    }
    return number;
}

// A count from 1: of records, of boards.
std::optional<unsigned> parse_count(std::string_view text) {
    return parse_whole(text, 1u);
}

// An option's value as `parse` reads it, handed on in plain decimal; `complaint` ("\"{}\" is
// not ...") says what is wrong with a text it refuses. Shown by the value's name alone (CLI11
// would add the validator's description).
template <class Parse>
CLI::Validator parsed_value(Parse parse, std::string complaint) {
    return CLI::Validator(
        [parse, complaint](std::string& text) -> std::string {
            const auto value = parse(text);
            if (!value) return fmt::format(fmt::runtime(complaint), text);
            text = std::to_string(*value);
            return {};
        },
        "", "");
}

CLI::Validator byte_count() {
    return parsed_value(parse_byte_count,
                        "\"{}\" is not a byte count: a decimal or 0x hexadecimal number below 4 "
                        "GiB, optionally followed by K (1024) or M (1048576)");
}

CLI::Validator since_time() {
    const auto now = static_cast<std::int64_t>(
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
    return parsed_value([now](std::string_view text) { return parse_since(text, now); },
                        "\"{}\" is no time: give one as history shows times "
                        "(2026-05-01T12:00:00Z), with an offset (2026-05-01T14:00:00+02:00), "
                        "in local time (2026-05-01 14:00), a day (2026-05-01, today, "
                        "yesterday) or a while ago (-1h, 2 days ago)");
}

// A journal record's number, as history shows it.
CLI::Validator record_number() {
    return parsed_value([](std::string_view text) { return parse_whole(text, std::int64_t{1}); },
                        "\"{}\" is not a journal record's number (history shows them)");
}

CLI::Validator record_count() {
    return parsed_value(parse_count, "\"{}\" is not a number of records from 1");
}

// How many boards are written at once: a number from 1 to kMostJobs.
std::optional<unsigned> parse_jobs(std::string_view text) {
    const auto count = parse_count(text);
    return count && *count <= kMostJobs ? count : std::nullopt;
}

std::string jobs_complaint() {
    return fmt::format("\"{{}}\" is not a number of boards from 1 to {}", kMostJobs);
}

// A board named by its node's name alone ("tarnvel0") is the node of that name under /dev, as
// udev names the boards' nodes.
std::string node_path(std::string node) {
    return node.empty() || node.find('/') != std::string::npos ? node : "/dev/" + node;
}

// Each board once, in the order first named, by its node's path: naming a board twice, also
// once by its name and once by its path, still names one board.
void drop_repeated_boards(std::vector<std::string>& boards) {
    std::vector<std::string> once;
    for (std::string& board : boards) {
        board = node_path(std::move(board));
        if (std::ranges::find(once, board) == once.end()) once.push_back(std::move(board));
    }
    boards = std::move(once);
}

// TARNVEL_FW_JOBS where the command line has no --jobs (an empty one is none). Only the
// commands that write boards read it, so that a bad one stops no other; answers what is wrong
// with it.
std::optional<std::string> take_jobs_from_environment(UpdateCommand& command) {
    const char* text = std::getenv("TARNVEL_FW_JOBS");
    if (command.jobs || text == nullptr || *text == '\0') return std::nullopt;
    command.jobs = parse_jobs(text);
    if (command.jobs) return std::nullopt;
    return "TARNVEL_FW_JOBS: " + fmt::format(fmt::runtime(jobs_complaint()), text);
}

// An image file is meant for one board.
std::optional<std::string> one_board_for(const std::optional<std::string>& image,
                                         const std::vector<std::string>& boards) {
    return image && boards.size() != 1
               ? std::optional<std::string>("--image needs exactly one --board")
               : std::nullopt;
}

// The options several commands take.

CLI::Option* add_boards(CLI::App& command, std::vector<std::string>& boards) {
    return command
        .add_option("--board", boards,
                    "Only the board with this device node, such as /dev/tarnvel0 or tarnvel0 "
                    "(repeatable); default: every supported board")
        ->type_name("NODE");
}

CLI::Option* add_json(CLI::App& command, bool& json) {
    return command.add_flag("--json", json,
                            "One JSON document on standard output instead of the readable text");
}

CLI::Option* add_image(CLI::App& command, std::optional<std::string>& image,
                       std::string_view description) {
    return command.add_option("--image", image, std::string(description))->type_name("FILE");
}

// --jobs N, or TARNVEL_FW_JOBS: how many boards are written at once.
void add_jobs(CLI::App& command, UpdateCommand& writes) {
    command
        .add_option("--jobs", writes.jobs,
                    "Write at most N boards at once (1: one after another, in order); default: "
                    "TARNVEL_FW_JOBS, the configuration file's jobs, or every selected board at "
                    "once")
        ->type_name("N")
        ->transform(parsed_value(parse_jobs, jobs_complaint()));
}

void add_backup_options(CLI::App& command, UpdateCommand& writes) {
    command.add_flag("--no-backup", writes.no_backup,
                     "Write without first keeping what the flash holds over the image's span "
                     "(the journal's record says so)");
    command
        .add_option("--keep-backups", writes.keep_backups,
                    "Backups kept per board after a verified write (default: keep_backups of "
                    "the configuration file, or 2); the one of the board's last verified write "
                    "and those still needed are kept anyway")
        ->type_name("N")
        ->transform(parsed_value([](std::string_view text) { return parse_whole(text, 0u); },
                                 "\"{}\" is not a number of backups: 0 or more, in decimal "
                                 "digits"));
}

// --reboot and --no-reboot, which exclude each other; neither: ask.
struct RebootFlags {
    bool reboot = false;
    bool no_reboot = false;

    RebootChoice choice() const {
        return reboot      ? RebootChoice::Reboot
               : no_reboot ? RebootChoice::NoReboot
                           : RebootChoice::Ask;
    }
};

// Answers --reboot, for the options that need it.
CLI::Option* add_reboot_pair(CLI::App& command, RebootFlags& flags, const char* reboot_text,
                             const char* no_reboot_text) {
    CLI::Option* reboot = command.add_flag("--reboot", flags.reboot, reboot_text);
    reboot->excludes(command.add_flag("--no-reboot", flags.no_reboot, no_reboot_text));
    return reboot;
}

// One command of the program: its CLI11 command, whose options fill values of its own, and
// what hands those values on once the line is parsed: the command, or what is wrong with it
// that CLI11 can't express.
using Taken = std::expected<Command, std::string>;
struct DeclaredCommand {
    CLI::App* app;
    std::function<Taken()> take;
};

DeclaredCommand declare_list(CLI::App& program) {
    auto list = std::make_shared<ListCommand>();
    CLI::App* command = program.add_subcommand(
        "list", "List every board with its firmware and what its archive holds; opens no board");
    add_json(*command, list->json);
    return {command, [list]() -> Taken { return *list; }};
}

DeclaredCommand declare_verify(CLI::App& program) {
    auto verify = std::make_shared<VerifyCommand>();
    CLI::App* command = program.add_subcommand(
        "verify",
        "Read back the image region of boards and compare it with their archive's "
        "image; never erases or writes");
    add_boards(*command, verify->boards);
    add_image(*command, verify->image,
              "Compare with this raw image file instead (needs exactly one --board)");
    add_json(*command, verify->json);
    return {command, [verify]() -> Taken {
                drop_repeated_boards(verify->boards);
                if (auto problem = one_board_for(verify->image, verify->boards)) {
                    return std::unexpected(std::move(*problem));
                }
                return std::move(*verify);
            }};
}

DeclaredCommand declare_dump(CLI::App& program) {
    auto dump = std::make_shared<DumpCommand>();
    CLI::App* command = program.add_subcommand(
        "dump", "Read the image region of one board into a file, in image byte order");
    command->add_option("--board", dump->board, "The board's device node, or its name")
        ->type_name("NODE")
        ->required();
    command->add_option("--output", dump->output, "The file to write")
        ->type_name("FILE")
        ->required();
    command
        ->add_option("--length", dump->length,
                     "Bytes to read: a decimal or 0x hexadecimal number, optionally followed "
                     "by K (1024) or M (1048576); default: the size of the board's available "
                     "image")
        ->type_name("BYTES")
        ->transform(byte_count());
    command->add_flag("--force", dump->force, "Replace FILE if it exists");
    return {command, [dump]() -> Taken {
                if (dump->length == 0u) return std::unexpected("--length must be at least 1 byte");
                dump->board = node_path(std::move(dump->board));
                return std::move(*dump);
            }};
}

// Where update and rollback differ: their texts, and the options only one of them takes.
struct WritingCommand {
    const char* name;
    const char* summary;
    const char* yes;
    const char* force;
    const char* reboot;
    const char* no_reboot;
    // Writes back a backup (--to) rather than an image (--image, --full, --no-journal,
    // --rollback-on-failure).
    bool rollback;
};

constexpr WritingCommand kUpdate{
    .name = "update",
    .summary = "Write the archive's image into boards, verify it, and reboot them if asked",
    .yes =
        "Ask nothing: write only boards whose image is newer (see --force), reboot only with "
        "--reboot",
    .force = "With --yes, also write an image that is not newer",
    .reboot =
        "Reboot each written board and check that it reports the image's version (not with "
        "--no-reboot)",
    .no_reboot = "Never reboot, and don't ask (not with --reboot)",
    .rollback = false,
};

constexpr WritingCommand kRollback{
    .name = "rollback",
    .summary =
        "Write back the last known-good firmware of boards (their newest backup of a whole "
        "image or of the firmware they ran, other than what their flash holds), verify "
        "it, and reboot them if asked",
    .yes = "Ask nothing; reboot only with --reboot",
    .force =
        "With --to, also write back a backup of unknown or partial content; where "
        "signatures are required, also firmware that no write signed by a trusted key put "
        "on the flash",
    .reboot = "Reboot each written board",
    .no_reboot = "Never reboot, and don't ask",
    .rollback = true,
};

// The options only update takes, in their places among the shared ones.
void add_image_write_options(CLI::App& command, UpdateCommand& update, CLI::Option* force) {
    add_image(command, update.image,
              "Write this raw image file instead (needs exactly one --board and --force)")
        ->needs(force);
    command.add_flag("--full", update.full,
                     "Erase and write every block, as tarnvel-flash does; default: only the "
                     "blocks whose content differs from the image");
}

// The checks of a command that writes boards, once its boards are known by their nodes' paths.
std::optional<std::string> writing_problem(UpdateCommand& writes) {
    if (auto problem = take_jobs_from_environment(writes)) return problem;
    if (writes.rollback_to && writes.boards.size() != 1) return "--to needs exactly one --board";
    return one_board_for(writes.image, writes.boards);
}

DeclaredCommand declare_writing(CLI::App& program, const WritingCommand& kind) {
    struct Values {
        UpdateCommand writes;
        RebootFlags reboot;
    };
    auto values = std::make_shared<Values>();
    UpdateCommand& writes = values->writes;
    writes.rollback = kind.rollback;
    CLI::App* command = program.add_subcommand(kind.name, kind.summary);
    add_boards(*command, writes.boards);
    if (kind.rollback) {
        command
            ->add_option("--to", writes.rollback_to,
                         "The backup kept before the write of this journal record (needs exactly "
                         "one --board)")
            ->type_name("RECORD")
            ->transform(record_number());
    }
    command->add_flag("--yes", writes.yes, kind.yes);
    CLI::Option* force = command->add_flag("--force", writes.force, kind.force);
    CLI::Option* reboot = add_reboot_pair(*command, values->reboot, kind.reboot, kind.no_reboot);
    if (!kind.rollback) add_image_write_options(*command, writes, force);
    add_jobs(*command, writes);
    if (!kind.rollback) {
        command->add_flag("--no-journal", writes.no_journal,
                          "Write even when the journal can't record the writes, and record none");
    }
    add_backup_options(*command, writes);
    if (!kind.rollback) {
        command
            ->add_flag("--rollback-on-failure", writes.rollback_on_failure,
                       "With --reboot: a board that does not come back running the image gets "
                       "its backup written back and is rebooted again (result rolled-back)")
            ->needs(reboot);
    }
    add_json(*command, writes.json);
    return {command, [values]() -> Taken {
                values->writes.reboot = values->reboot.choice();
                drop_repeated_boards(values->writes.boards);
                if (auto problem = writing_problem(values->writes)) {
                    return std::unexpected(std::move(*problem));
                }
                return std::move(values->writes);
            }};
}

DeclaredCommand declare_history(CLI::App& program) {
    auto history = std::make_shared<HistoryCommand>();
    CLI::App* command = program.add_subcommand(
        "history", "Show the journal's records of board writes, newest first; opens no board");
    command
        ->add_option("--board", history->board,
                     "Only the records of the board with this device node or name (or its slot)")
        ->type_name("NODE");
    command
        ->add_option("--since", history->since,
                     "Only the records of writes started at TIME or later: as history shows "
                     "times (2026-05-01T12:00:00Z), with an offset (+02:00), in local time "
                     "(2026-05-01 14:00), a day (2026-05-01, today, yesterday) or a while ago "
                     "(-1h, \"2 days ago\")")
        ->type_name("TIME")
        ->transform(since_time());
    command->add_option("--limit", history->limit, "Only the newest N records (of those selected)")
        ->type_name("N")
        ->transform(record_count());
    add_json(*command, history->json);
    return {command, [history]() -> Taken {
                if (history->board) history->board = node_path(std::move(*history->board));
                return std::move(*history);
            }};
}

DeclaredCommand declare_metrics(CLI::App& program) {
    auto metrics = std::make_shared<MetricsCommand>();
    CLI::App* command = program.add_subcommand(
        "metrics",
        "Print the boards as Prometheus metrics, for node_exporter's textfile collector; opens "
        "no board");
    command
        ->add_option("--output", metrics->output,
                     "Write them to FILE instead: a temporary file in its directory, renamed "
                     "into place once whole")
        ->type_name("FILE");
    return {command, [metrics]() -> Taken { return std::move(*metrics); }};
}

DeclaredCommand declare_forget(CLI::App& program) {
    auto forget = std::make_shared<ForgetCommand>();
    CLI::App* command = program.add_subcommand(
        "forget",
        "Retire the journal's records of a missing board, so that its slot is no longer missed; "
        "the records stay for history");
    command
        ->add_option("--pci", forget->pci,
                     "The PCI slot of the missing board, as list shows it (0000:03:00.0)")
        ->type_name("SLOT")
        ->required();
    command->add_flag("--yes", forget->yes, "Ask nothing");
    return {command, [forget]() -> Taken { return std::move(*forget); }};
}

// The command of that name, or null.
const CLI::App* find_command(const CLI::App& app, std::string_view name) {
    const auto found =
        app.get_subcommands([&](const CLI::App* command) { return command->get_name() == name; });
    return found.empty() ? nullptr : found.front();
}

// The commands, for a text that names them all: "list, verify, dump and update", with `last`
// ("and", "or") before the last.
std::string command_names(const CLI::App& app, std::string_view last) {
    const auto commands =
        app.get_subcommands([](const CLI::App* command) { return command->get_name() != "help"; });
    std::string text;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        text += i == 0 ? "" : i + 1 == commands.size() ? fmt::format(" {} ", last) : ", ";
        text += commands[i]->get_name();
    }
    return text;
}

int no_such_command(const CLI::App& app, std::string_view name) {
    std::cerr << fmt::format("tarnvel-fw: no command \"{}\"; the commands are {}\n",
                             printable(name), command_names(app, "and"));
    return kExitUsage;
}

// The program without its commands: its texts, and what its commands inherit from it.
std::unique_ptr<CLI::App> program_app() {
    auto app = std::make_unique<CLI::App>(kDescription, "tarnvel-fw");
    app->footer(kFooter);
    // Both are inherited by the commands made after them.
    app->formatter(std::make_shared<OptionFormatter>());
    app->failure_message(
        [](const CLI::App*, const CLI::Error& error) { return usage_message(error.what()); });
    app->set_version_flag("--version", std::string("tarnvel-fw ") + TARNVEL_VERSION);
    app->require_subcommand(1);
    app->fallthrough(false);
    return app;
}

// "help" alone shows the program's own help, not that of the help command, which App::help
// would give once "help" was parsed; "help COMMAND" shows the command's as `tarnvel-fw COMMAND
// --help` does, under the program's name.
int show_help(const CLI::App& app, const std::string& topic) {
    if (topic.empty()) {
        std::cout << app.get_formatter()->make_help(&app, app.get_name(),
                                                    CLI::AppFormatMode::Normal);
        return kExitOk;
    }
    const CLI::App* command = find_command(app, topic);
    if (command == nullptr) return no_such_command(app, topic);
    std::cout << command->help(app.get_name());
    return kExitOk;
}

}  // namespace

ParsedCommandLine parse_command_line(int argc, char** argv) {
    const std::unique_ptr<CLI::App> app = program_app();
    // In the order the help lists them.
    const DeclaredCommand commands[] = {
        declare_list(*app),
        declare_verify(*app),
        declare_dump(*app),
        declare_writing(*app, kUpdate),
        declare_writing(*app, kRollback),
        declare_history(*app),
        declare_metrics(*app),
        declare_forget(*app),
    };
    std::string help_topic;
    CLI::App* help_app = app->add_subcommand("help", "Show the help of a command");
    help_app->add_option("command", help_topic, command_names(*app, "or"))->type_name("COMMAND");

    // CLI11 would only say that a command is required.
    if (argc > 1 && argv[1][0] != '-' && find_command(*app, argv[1]) == nullptr) {
        return {.command = std::nullopt, .exit_status = no_such_command(*app, argv[1])};
    }
    try {
        app->parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app->exit(error);
        return {.command = std::nullopt, .exit_status = status == 0 ? kExitOk : kExitUsage};
    }
    if (help_app->parsed()) {
        return {.command = std::nullopt, .exit_status = show_help(*app, help_topic)};
    }

    // require_subcommand(1): one of them was parsed.
    const auto parsed = std::ranges::find_if(
        commands, [](const DeclaredCommand& command) { return command.app->parsed(); });
    Taken taken = parsed->take();
    if (!taken) {
        std::cerr << usage_message(taken.error());
        return {.command = std::nullopt, .exit_status = kExitUsage};
    }
    return {.command = std::move(*taken), .exit_status = kExitOk};
}

}  // namespace tarnvel::fw
