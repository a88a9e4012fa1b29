// What tarnvel-fw makes of its command line: byte counts as the manual page gives them and
// nothing else, help that lists the commands, and messages that name what is wrong.

#include "bin/tarnvel-fw/command_line.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "bin/tarnvel-fw/exit_status.hpp"

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

TEST(CommandLine, HistoryTakesADayOrATimeInUtc) {
    for (const auto& [text, seconds] : {std::pair{"2026-05-01", 1777593600},
                                        std::pair{"2026-05-01T00:00:10Z", 1777593610}}) {
        const Parsed parsed = parse({"history", "--since", text, "--limit", "3"});
        ASSERT_TRUE(parsed.result.command) << parsed.err;
        const auto& history = std::get<HistoryCommand>(*parsed.result.command);
        EXPECT_EQ(history.since, seconds) << text;
        EXPECT_EQ(history.limit, 3u);
    }
}

}  // namespace
}  // namespace tarnvel::fw
