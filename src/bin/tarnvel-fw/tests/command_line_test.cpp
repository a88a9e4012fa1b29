// What tarnvel-fw makes of its command line: byte counts as the manual page gives them and
// nothing else, help that lists the commands, and messages that name what is wrong.

#include "bin/tarnvel-fw/command_line.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <tuple>

#include "bin/tarnvel-fw/configuration.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/update_command.hpp"

namespace tarnvel::fw {
namespace {

struct Parsed {
    ParsedCommandLine result;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tarnvel-fw");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    std::ostringstream out;
    std::ostringstream err;
    std::streambuf* const saved_out = std::cout.rdbuf(out.rdbuf());
    std::streambuf* const saved_err = std::cerr.rdbuf(err.rdbuf());
    ParsedCommandLine result = parse_command_line(static_cast<int>(argv.size()), argv.data());
    std::cout.rdbuf(saved_out);
    std::cerr.rdbuf(saved_err);
    return {std::move(result), out.str(), err.str()};
}

std::optional<std::uint32_t> dump_length(const char* text) {
    const Parsed parsed =
        parse({"dump", "--board", "/dev/tarnvel0", "--output", "x.bin", "--length", text});
    if (!parsed.result.command) {
        EXPECT_EQ(parsed.result.exit_status, kExitUsage) << text;
        EXPECT_NE(parsed.err.find("is not a byte count"), std::string::npos) << parsed.err;
        return std::nullopt;
    }
    return std::get<DumpCommand>(*parsed.result.command).length;
}

TEST(DumpLength, IsADecimalOrHexNumberWithKOrM) {
    const std::pair<const char*, std::uint32_t> taken[] = {
        {"010", 10},  {"08", 8},      {"0x10", 16},    {"0xfF", 255},
        {"1K", 1024}, {"0x2K", 2048}, {"3M", 3 << 20}, {"4294967295", UINT32_MAX}};
    for (const auto& [text, bytes] : taken) EXPECT_EQ(dump_length(text), bytes) << text;
    for (const char* text : {"k", "K", "1k", "1KB", "1KiB", "1.5K", "-1", "+1", " 1", "1 ", "0x",
                             "0X10", "0b1", "1e3", "4294967296", "4194304K", "4096M"}) {
        EXPECT_EQ(dump_length(text), std::nullopt) << text;
    }
}

TEST(CommandLine, HelpWithoutACommandListsTheCommands) {
    const Parsed parsed = parse({"help"});
    EXPECT_EQ(parsed.result.exit_status, kExitOk);
    EXPECT_FALSE(parsed.result.command);
    // The commands' own summaries, which only the program's help shows.
    for (const char* summary :
         {"List every board", "Read back the image region", "Read the image region of one board",
          "Write the archive's image"}) {
        EXPECT_NE(parsed.out.find(summary), std::string::npos) << parsed.out;
    }
}

TEST(CommandLine, AnUnknownCommandIsNamedWithTheKnownOnes) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"bogus"}, {"help", "bogus"}}) {
        const Parsed parsed = parse(args);
        EXPECT_EQ(parsed.result.exit_status, kExitUsage);
        EXPECT_NE(parsed.err.find("no command \"bogus\""), std::string::npos) << parsed.err;
        for (const char* command : {"list", "verify", "dump", "update"}) {
            EXPECT_NE(parsed.err.find(command), std::string::npos) << parsed.err;
        }
    }
}

// By its path or by its node's name, as the completion offers it.
TEST(CommandLine, ABoardNamedTwiceIsOneBoard) {
    const Parsed parsed = parse({"update", "--board", "/dev/tarnvel0", "--board", "tarnvel0",
                                 "--image", "f.bin", "--force"});
    ASSERT_TRUE(parsed.result.command) << parsed.err;
    EXPECT_EQ(std::get<UpdateCommand>(*parsed.result.command).boards,
              std::vector<std::string>{"/dev/tarnvel0"});
}

// A command's board as named by its node's name is that node's path, in every command that takes
// one.
TEST(CommandLine, ABoardNamedByItsNodeIsItsPath) {
    const auto boards = [](const Command& command) {
        if (const auto* verify = std::get_if<VerifyCommand>(&command)) return verify->boards;
        if (const auto* writes = std::get_if<UpdateCommand>(&command)) return writes->boards;
        if (const auto* dump = std::get_if<DumpCommand>(&command)) {
            return std::vector<std::string>{dump->board};
        }
        const auto* history = std::get_if<HistoryCommand>(&command);
        return history != nullptr && history->board ? std::vector<std::string>{*history->board}
                                                    : std::vector<std::string>{};
    };
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"verify", "--board", "tarnvel1"},
             {"dump", "--board", "tarnvel1", "--output", "x.bin"},
             {"rollback", "--board", "tarnvel1", "--board", "/dev/tarnvel1"},
             {"history", "--board", "tarnvel1"}}) {
        const Parsed parsed = parse(args);
        ASSERT_TRUE(parsed.result.command) << args[0] << ": " << parsed.err;
        EXPECT_EQ(boards(*parsed.result.command), std::vector<std::string>{"/dev/tarnvel1"})
            << args[0];
    }
}

// update and rollback share one declaration of their options: each takes its own and no other's,
// and the reboot pair means the same in both.
TEST(CommandLine, UpdateAndRollbackTakeTheirOwnOptions) {
    // What the command line made of a writing command, or "refused: " and the usage error.
    const auto made = [](const std::vector<std::string>& args) -> std::string {
        const Parsed parsed = parse(args);
        if (!parsed.result.command) {
            EXPECT_EQ(parsed.result.exit_status, kExitUsage);
            return "refused: " + parsed.err.substr(0, parsed.err.find('\n'));
        }
        const auto& writes = std::get<UpdateCommand>(*parsed.result.command);
        constexpr const char* kReboot[] = {"ask", "reboot", "no-reboot"};
        return fmt::format("{} {}{}{}{}{}", writes.rollback ? "rollback" : "update",
                           kReboot[static_cast<int>(writes.reboot)], writes.full ? " full" : "",
                           writes.no_journal ? " no-journal" : "",
                           writes.rollback_on_failure ? " rollback-on-failure" : "",
                           writes.image ? " image" : "");
    };
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"update"}, "update ask"},
        {{"update", "--no-reboot", "--full", "--no-journal"}, "update no-reboot full no-journal"},
        {{"update", "--reboot", "--rollback-on-failure"}, "update reboot rollback-on-failure"},
        {{"update", "--board", "tarnvel0", "--image", "f.bin", "--force"}, "update ask image"},
        {{"rollback"}, "rollback ask"},
        {{"rollback", "--reboot"}, "rollback reboot"},
        {{"rollback", "--no-reboot"}, "rollback no-reboot"},
        {{"update", "--reboot", "--no-reboot"},
         "refused: tarnvel-fw: --reboot excludes --no-reboot"},
        {{"rollback", "--no-reboot", "--reboot"},
         "refused: tarnvel-fw: --reboot excludes --no-reboot"},
        {{"update", "--rollback-on-failure"},
         "refused: tarnvel-fw: --rollback-on-failure requires --reboot"},
        {{"update", "--board", "tarnvel0", "--image", "f.bin"},
         "refused: tarnvel-fw: --image requires --force"},
        {{"rollback", "--board", "tarnvel0", "--to", "3", "--board", "tarnvel1"},
         "refused: tarnvel-fw: --to needs exactly one --board"},
    };
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(made(args), expected) << fmt::format("{}", fmt::join(args, " "));
    }
    // Each one's own options, given to the other.
    for (const auto& [command, option] :
         {std::pair{"rollback", "--image"}, std::pair{"rollback", "--full"},
          std::pair{"rollback", "--no-journal"}, std::pair{"rollback", "--rollback-on-failure"},
          std::pair{"update", "--to"}}) {
        EXPECT_EQ(made({command, option, "3"}).substr(0, 9), "refused: ") << command << option;
    }
}

// How many boards are written at once: --jobs, or TARNVEL_FW_JOBS where the command line has
// none (the Ansible role's way), or the configuration's jobs, or every board; a number of
// boards from 1 to 1024 wherever it comes from.
TEST(UpdateJobs, ComeFromTheOptionTheEnvironmentTheConfigurationOrEveryBoard) {
    constexpr std::size_t kBoards = 5;
    struct Case {
        std::vector<std::string> args;
        const char* environment;
        std::optional<unsigned> configured;
        std::optional<unsigned> jobs;  // none: refused
    };
    std::vector<Case> cases{
        {{"update"}, nullptr, std::nullopt, kBoards},
        {{"update"}, nullptr, 4u, 4u},
        {{"update"}, "3", 4u, 3u},
        {{"update", "--jobs", "2"}, "3", 4u, 2u},
        {{"rollback", "--jobs", "1"}, nullptr, std::nullopt, 1u},
        {{"rollback"}, "1024", std::nullopt, 1024u},
        {{"update"}, "0", 4u, std::nullopt},
    };
    for (const char* bad : {"0", "-1", "+2", "2x", "", "1025"}) {
        cases.push_back({{"update", "--jobs", bad}, nullptr, std::nullopt, std::nullopt});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} with TARNVEL_FW_JOBS={}", fmt::join(c.args, " "),
                                 c.environment != nullptr ? c.environment : "(none)"));
        if (c.environment != nullptr) ::setenv("TARNVEL_FW_JOBS", c.environment, 1);
        const Parsed parsed = parse(c.args);
        ::unsetenv("TARNVEL_FW_JOBS");
        if (!c.jobs) {
            EXPECT_FALSE(parsed.result.command);
            EXPECT_EQ(parsed.result.exit_status, kExitUsage);
            EXPECT_NE(parsed.err.find("is not a number of boards from 1 to 1024"),
                      std::string::npos)
                << parsed.err;
            continue;
        }
        ASSERT_TRUE(parsed.result.command) << parsed.err;
        Configuration configuration;
        configuration.jobs = c.configured;
        EXPECT_EQ(
            boards_at_once(std::get<UpdateCommand>(*parsed.result.command), configuration, kBoards),
            *c.jobs);
    }
}

// The help says what the manual page says, under the program's name, and a usage error names
// the program and where to read more.
TEST(CommandLine, HelpAndErrorsReadCleanly) {
    struct Case {
        std::vector<std::string> args;
        std::vector<const char*> says;
        std::vector<const char*> never;
    };
    for (const Case& c : std::vector<Case>{
             {{"help", "update"}, {"Usage: tarnvel-fw update [OPTIONS]"}, {"Excludes", "Needs"}},
             {{"dump", "--help"}, {"--length BYTES "}, {"BYTES:"}},
             {{"history", "--help"}, {"--since TIME ", "--limit N "}, {"TIME:", "N:"}},
             {{"update", "--now"}, {"tarnvel-fw: ", "--now", "tarnvel-fw --help"}, {}},
             {{"history", "--limit", "0"}, {"tarnvel-fw: --limit: \"0\" is not a number"}, {}},
             {{"history", "--since", "May"}, {"tarnvel-fw: --since: \"May\" is no time"}, {}},
             {{"forget"}, {"tarnvel-fw: ", "--pci"}, {}}}) {
        const Parsed parsed = parse(c.args);
        const std::string text = parsed.out + parsed.err;
        for (const char* part : c.says) {
            EXPECT_NE(text.find(part), std::string::npos) << c.args.front() << ": " << text;
        }
        for (const char* part : c.never) {
            EXPECT_EQ(text.find(part), std::string::npos) << c.args.front() << ": " << text;
        }
    }
}

// The help starts with what an operator does, and fits the terminal: no line is wider than
// COLUMNS (where standard output is no terminal), and the command's table stays in columns.
TEST(CommandLine, HelpPutsTheOperatorFirstAndFitsTheTerminal) {
    for (const std::size_t width : {std::size_t{50}, std::size_t{80}, std::size_t{120}}) {
        SCOPED_TRACE(width);
        ::setenv("COLUMNS", std::to_string(width).c_str(), 1);
        const Parsed top = parse({"--help"});
        const Parsed update = parse({"help", "update"});
        ::unsetenv("COLUMNS");
        EXPECT_LT(top.out.find("What an operator does:\n  tarnvel-fw list "),
                  top.out.find("Usage: tarnvel-fw"))
            << top.out;
        EXPECT_NE(top.out.find("\n  tarnvel-fw help COMMAND    a command's options\n"),
                  std::string::npos)
            << top.out;
        for (const std::string& text : {top.out, update.out}) {
            std::istringstream lines(text);
            for (std::string line; std::getline(lines, line);) {
                EXPECT_LE(line.size(), width) << line;
            }
        }
    }
}

// Whether `text` would drive a terminal: a control character other than the line feeds that
// end its lines, DEL, or a C1 control written in UTF-8.
bool drives_a_terminal(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
        if (c == 0xC2 && i + 1 < text.size() &&
            (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
            return true;
        }
    }
    return false;
}

// Whatever was typed, a usage error quotes it escaped, as the journal's texts are.
TEST(CommandLine, UsageErrorsEchoArgumentsWithTheirControlCharactersEscaped) {
    const std::vector<std::string> cases[] = {
        {"bogus\x1b[2J"},
        {"help", "\x1b]0;owned\x07"},
        {"update", "--jobs", "1\x1b[31m"},
        {"update", "--now\r"},
        {"history", "--since", "\u009b31m"},  // CSI in UTF-8
        {"history", "--limit", "\2335"},      // CSI as a byte of its own
        {"dump", "--board", "/dev/tarnvel0", "--output", "x.bin", "--length", "1\x7f"},
    };
    for (const std::vector<std::string>& args : cases) {
        const Parsed parsed = parse(args);
        EXPECT_EQ(parsed.result.exit_status, kExitUsage) << args.back();
        EXPECT_FALSE(parsed.err.empty());
        EXPECT_FALSE(drives_a_terminal(parsed.err)) << parsed.err;
    }
}

TEST(CommandLine, HistoryTakesATimeWithItsOffsetAndALimit) {
    for (const auto& [text, seconds] : {std::pair{"2026-05-01T02:00:00+02:00", 1777593600},
                                        std::pair{"2026-05-01T00:00:10Z", 1777593610}}) {
        const Parsed parsed = parse({"history", "--since", text, "--limit", "3"});
        ASSERT_TRUE(parsed.result.command) << parsed.err;
        const auto& history = std::get<HistoryCommand>(*parsed.result.command);
        EXPECT_EQ(history.since, seconds) << text;
        EXPECT_EQ(history.limit, 3u);
    }
}

// A record's number and a count of backups are whole decimal numbers, taken as typed or
// refused with what they should be: never clamped, trimmed or read as hexadecimal.
TEST(CommandLine, RecordNumbersAndBackupCountsAreTakenAsTypedOrRefused) {
    const auto rollback = [](std::vector<std::string> more) {
        std::vector<std::string> args{"rollback", "--board", "tarnvel0"};
        args.insert(args.end(), more.begin(), more.end());
        return parse(args);
    };
    for (const auto& [option, text, value] :
         {std::tuple{"--to", "12", std::int64_t{12}},
          std::tuple{"--to", "9223372036854775807", INT64_MAX},
          std::tuple{"--keep-backups", "0", std::int64_t{0}},
          std::tuple{"--keep-backups", "010", std::int64_t{10}}}) {
        const Parsed parsed = rollback({option, text});
        ASSERT_TRUE(parsed.result.command) << parsed.err;
        const auto& command = std::get<UpdateCommand>(*parsed.result.command);
        EXPECT_EQ(std::string_view(option) == "--to"
                      ? command.rollback_to
                      : std::optional<std::int64_t>(command.keep_backups),
                  value)
            << text;
    }
    for (const auto& [option, text, complaint] :
         {std::tuple{"--to", "99999999999999999999", "is not a journal record's number"},
          std::tuple{"--to", "0", "is not a journal record's number"},
          std::tuple{"--to", "-3", "is not a journal record's number"},
          std::tuple{"--keep-backups", " 3", "is not a number of backups: 0 or more"},
          std::tuple{"--keep-backups", "0x2", "is not a number of backups: 0 or more"},
          std::tuple{"--keep-backups", "-1", "is not a number of backups: 0 or more"},
          std::tuple{"--keep-backups", "4294967296", "is not a number of backups: 0 or more"}}) {
        const Parsed parsed = rollback({option, text});
        EXPECT_EQ(parsed.result.exit_status, kExitUsage) << text;
        EXPECT_NE(parsed.err.find(fmt::format("{}: \"{}\" {}", option, text, complaint)),
                  std::string::npos)
            << parsed.err;
    }
}

// Only the commands that write boards read TARNVEL_FW_JOBS: a bad one stops them, and no other.
TEST(UpdateJobs, ABadEnvironmentStopsOnlyTheCommandsThatWrite) {
    ::setenv("TARNVEL_FW_JOBS", "many", 1);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"list"},
                                               {"history"},
                                               {"metrics"},
                                               {"verify"},
                                               {"dump", "--board", "tarnvel0", "--output", "x.bin"},
                                               {"forget", "--pci", "0000:03:00.0"},
                                               {"update", "--jobs", "2"},
                                               {"update"},
                                               {"rollback"}}) {
        const Parsed parsed = parse(args);
        const bool reads_it = args.size() == 1 && (args[0] == "update" || args[0] == "rollback");
        EXPECT_EQ(parsed.result.command.has_value(), !reads_it) << args[0] << ": " << parsed.err;
        if (reads_it) {
            EXPECT_NE(parsed.err.find("TARNVEL_FW_JOBS: \"many\" is not a number of boards"),
                      std::string::npos)
                << parsed.err;
        }
    }
    ::unsetenv("TARNVEL_FW_JOBS");
}

}  // namespace
}  // namespace tarnvel::fw
