// tarnvel-fw list, and what the program does with a command line it can't carry out: every
// board and its status without touching any board; a clear message and exit status 2, with
// nothing done, for a usage error; the raw image file's guards.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "fw_harness.hpp"
#include "update/sha256.hpp"

namespace tarnvel::testing {
namespace {

constexpr std::uint16_t kFirmware = 40;

// One board for each status; a board whose node can't even be opened is listed too. A board
// gets the digest of its image, the one an approved list names; a board whose lock another
// process holds is being written by it, even before that process has a record.
TEST_F(FwTest, ListGivesEveryBoardItsStatusWithoutTouchingAny) {
    const auto image = add_board(BoardKind::Qx410, kFirmware, kFirmware + 1);  // 0
    add_board(BoardKind::Qx480Spi, kFirmware, kFirmware);                      // 1: up-to-date
    add_board(BoardKind::Qx400, kFirmware, kFirmware - 1);                     // 2: board-newer
    add_board(BoardKind::Qx630, kFirmware, std::nullopt);                      // 3: no-archive
    add_board(BoardKind::Qx610Spi, kFirmware, std::nullopt);
    ASSERT_TRUE(firmware().add_archive("qx610v4_0.zip",  // 4: no-image
                                       {{.name = "qx630_1_50.bin", .data = {1, 2}}}));
    add(sim::BoardConfig::of_kind(BoardKind::Unsupported, 3));  // 5
    sim::BoardConfig qx1800 = sim::BoardConfig::of_kind(BoardKind::Qx1800, 4);
    qx1800.node = sim::NodeState::PermissionDenied;
    add(std::move(qx1800));                                    // 6
    add_board(BoardKind::Qx610Bpi, kFirmware, kFirmware + 1);  // 7: writing
    const std::string node_file = (testbed().root_dir() / "dev/tarnvel7").string();
    const int held = ::open(node_file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

    const sim::RunResult result = fw({"list", "--json"});
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
    const Json list = parse_json(result);
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), 8u);

    struct Expected {
        const char* status;
        Json model, hardware, available, archive;
        bool reason;
    };
    const Expected expected[] = {
        {"update-available", "QX410", "3.0", kFirmware + 1, "/lib/firmware/tarnvel/qx410v3_0.zip",
         false},
        {"up-to-date", "QX480", "2.0", kFirmware, "/lib/firmware/tarnvel/qx480v2_0.zip", false},
        {"board-newer", "QX400", "1.1", kFirmware - 1, "/lib/firmware/tarnvel/qx400v1_1.zip",
         true},
        {"no-archive", "QX630", "1.0", nullptr, "/lib/firmware/tarnvel/qx630v1_0.zip", true},
        {"no-image", "QX610", "4.0", nullptr, "/lib/firmware/tarnvel/qx610v4_0.zip", true},
        {"unsupported", nullptr, nullptr, nullptr, nullptr, false},
        {"dynamic-firmware", "QX1800", "3.0", nullptr, nullptr, false},
        {"writing", "QX610", "3.0", kFirmware + 1, "/lib/firmware/tarnvel/qx610v3_0.zip", true},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const Json& board = list[i];
        SCOPED_TRACE(board.dump());
        EXPECT_EQ(board["node"], fmt::format("/dev/tarnvel{}", i));
        EXPECT_EQ(board["status"], expected[i].status);
        EXPECT_EQ(board["model"], expected[i].model);
        EXPECT_EQ(board["hardware"], expected[i].hardware);
        EXPECT_EQ(board["available"], expected[i].available);
        EXPECT_EQ(board["archive"], expected[i].archive);
        EXPECT_EQ(board["reason"].is_string(), expected[i].reason);
        EXPECT_TRUE(board["firmware"].is_number_integer());
        EXPECT_TRUE(board["kind"].is_number_integer());
    }
    for (std::size_t board = 0; board < 5; ++board) {
        EXPECT_EQ(hardware(board).register_accesses(), 0u) << "board " << board;
    }

    // A downgrade is named as one; the lock's holder is named.
    EXPECT_EQ(list[2]["reason"], "the board runs firmware 40, newer than the archive's 39");
    EXPECT_TRUE(
        list[7]["reason"].get<std::string>().starts_with(fmt::format("process {} (", ::getpid())))
        << list[7]["reason"];
    EXPECT_EQ(list[0]["image_sha256"], sha256_hex(image));
    EXPECT_EQ(list[3]["image_sha256"], nullptr);

    // The readable table says the same, one line per board after the header, with the archive
    // it looked for, also where there is none.
    const sim::RunResult table = fw({"list"});
    EXPECT_TRUE(table.exited_with(0));
    ::close(held);
    const std::string digest = sha256_hex(image);
    EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 9);
    const auto line_of = [&](std::string_view node) {
        const std::size_t start = table.out.find(node);
        return start == std::string::npos
                   ? std::string()
                   : table.out.substr(start, table.out.find('\n', start) - start);
    };
    for (const auto& [node, parts] : std::vector<std::pair<const char*, std::vector<const char*>>>{
             {"/dev/tarnvel0", {"update-available", digest.c_str()}},
             {"/dev/tarnvel2",
              {"board-newer", "(the board runs firmware 40, newer than the archive's 39)"}},
             {"/dev/tarnvel3", {"/lib/firmware/tarnvel/qx630v1_0.zip", "no-archive"}}}) {
        for (const char* part : parts) {
            EXPECT_NE(line_of(node).find(part), std::string::npos) << part << "\n" << table.out;
        }
    }
}

TEST_F(FwTest, ListWithoutBoardsIsAnEmptyArray) {
    const sim::RunResult result = fw({"list", "--json"});
    EXPECT_TRUE(result.exited_with(0));
    EXPECT_EQ(parse_json(result), Json::array());
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

class FwUsage : public FwTestWithParam<UsageCase> {};

// A usage error says what is wrong on standard error, prints nothing on standard output, and
// touches no board.
TEST_P(FwUsage, IsRefusedWithStatusTwo) {
    add_board(BoardKind::Qx630, kFirmware, kFirmware + 1);
    add_board(BoardKind::Qx480Spi, kFirmware, kFirmware + 1);
    const sim::RunResult result = fw(GetParam().args);
    EXPECT_TRUE(result.exited_with(kExitUsage)) << result.describe_end() << "\n" << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(result.err.empty());
    EXPECT_TRUE(flash_untouched(hardware(0)));
    EXPECT_TRUE(flash_untouched(hardware(1)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FwUsage,
    ::testing::Values(
        UsageCase{"NoCommand", {}}, UsageCase{"UnknownCommand", {"flash"}},
        UsageCase{"UnknownOption", {"update", "--yes", "--now"}},
        UsageCase{"UnknownBoard", {"update", "--yes", "--board", "/dev/tarnvel7"}},
        UsageCase{"RebootAndNoReboot", {"update", "--yes", "--reboot", "--no-reboot"}},
        UsageCase{"ImageWithoutBoard", {"update", "--yes", "--force", "--image", "/dev/null"}},
        UsageCase{"ImageForTwoBoards",
                  {"update", "--yes", "--force", "--image", "/etc/hostname", "--board",
                   "/dev/tarnvel0", "--board", "/dev/tarnvel1"}},
        UsageCase{"ImageWithoutForce",
                  {"update", "--yes", "--image", "/etc/hostname", "--board", "/dev/tarnvel0"}},
        UsageCase{"MissingImage",
                  {"update", "--yes", "--force", "--image", "/nonexistent.bin", "--board",
                   "/dev/tarnvel0"}},
        UsageCase{"ImageIsADirectory", {"verify", "--image", "/tmp", "--board", "/dev/tarnvel0"}},
        UsageCase{"DumpWithoutOutput", {"dump", "--board", "/dev/tarnvel0"}},
        UsageCase{"LengthNotANumber",
                  {"dump", "--board", "/dev/tarnvel0", "--output", "/tmp/x", "--length", "many"}},
        UsageCase{"HelpForNoCommand", {"help", "flash"}}),
    [](const ::testing::TestParamInfo<UsageCase>& param) { return param.param.name; });

TEST_F(FwTest, HelpAndVersionEndAtOnce) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"--version"}, {"help", "update"}, {"update", "--help"}}) {
        const sim::RunResult result = fw(args);
        EXPECT_TRUE(result.exited_with(0)) << args.front() << "\n" << result.err;
        EXPECT_FALSE(result.out.empty()) << args.front();
    }
}

struct ImageGuardCase {
    const char* name;
    BoardKind kind;
    std::size_t size;
    const char* error;
};

void PrintTo(const ImageGuardCase& c, std::ostream* os) {
    *os << c.name;
}

class FwImageGuard : public FwTestWithParam<ImageGuardCase> {};

// An image file passes the checks an archive's image passes, before anything is erased.
TEST_P(FwImageGuard, RefusesAnImageThatCanNotBeWritten) {
    const ImageGuardCase& c = GetParam();
    add_board(c.kind, kFirmware, std::nullopt);
    const std::string file = scratch_file("image.bin");
    std::ofstream(file).close();
    std::filesystem::resize_file(file, c.size);

    const sim::RunResult result =
        fw({"update", "--board", "/dev/tarnvel0", "--image", file, "--force", "--yes", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << "\n"
                                                      << result.err;
    const Json board = board_entry(parse_json(result), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "no-image");
    EXPECT_EQ(board["error"], c.error);
    EXPECT_EQ(hardware(0).register_accesses(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FwImageGuard,
    ::testing::Values(ImageGuardCase{"Empty", BoardKind::Qx630, 0, "firmware image is empty"},
                      ImageGuardCase{"OddOnParallelFlash", BoardKind::Qx400, 1001,
                                     "firmware image has odd length for 16-bit flash"},
                      // 3-byte addresses reach 16 MiB; the QX410's image starts at 4 MiB.
                      ImageGuardCase{"PastTheWindow", BoardKind::Qx410, 0xC00001,
                                     "firmware image does not fit in flash"}),
    [](const ::testing::TestParamInfo<ImageGuardCase>& param) { return param.param.name; });

}  // namespace
}  // namespace tarnvel::testing
