// Real parts' tables (tests/data/parts) replayed through tarnvel-sim as an operator replays
// them, each on a board whose chip behaves as that part does: tarnvel-fw writes and verifies
// the image on a part that takes what the board sends, and refuses any other with the first
// true cause, its flash untouched.

#include <filesystem>
#include <string>

#include "fw_harness.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel::testing {
namespace {

struct PartCase {
    const char* name;
    // The board: its kind and the part's settings; FILE stands for the table's path.
    const char* board;
    const char* file;     // in tests/data/parts; "" for none
    const char* refusal;  // "" when the image is written
};

void PrintTo(const PartCase& c, std::ostream* os) {
    *os << c.name;
}

class SimPartTables : public MachineTestWithParam<PartCase> {};

TEST_P(SimPartTables, AreWrittenOrRefusedForTheFirstTrueCause) {
    const PartCase& c = GetParam();
    auto dir = sim::TempDir::create("tarnvel-sim-part.");
    ASSERT_TRUE(dir);
    std::string board = c.board;
    if (const auto at = board.find("FILE"); at != std::string::npos) {
        board.replace(at, 4, std::string(TARNVEL_PARTS_DIR) + "/" + c.file);
    }
    const std::string state = (dir->path() / "machine").string();
    const sim::RunResult result = run({TARNVEL_SIM_BINARY, "--state", state, board, "--",
                                       TARNVEL_FW_BINARY, "update", "--yes", "--no-reboot"});
    const bool written = std::string(c.refusal).empty();
    EXPECT_TRUE(result.exited_with(written ? 0 : kExitBoardFailed)) << result.describe_end() << "\n"
                                                                    << result.out << result.err;
    const std::string said = result.out + result.err;
    EXPECT_NE(said.find(written ? ": updated" : c.refusal), std::string::npos) << said;

    // The flash kept: its header alone when no page was touched.
    namespace fs = std::filesystem;
    const fs::path chip =
        fs::path(state) / "board-0" /
        (board.find("cfi=") != std::string::npos ? "parallel.flash" : "spi.flash");
    constexpr std::uintmax_t kUntouched = 12;
    EXPECT_EQ(fs::file_size(chip) == kUntouched, !written) << fs::file_size(chip);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimPartTables,
    ::testing::Values(
        PartCase{"N25q256aOnA3ByteBoard", "kind=1,sfdp=FILE,flash-size=32M,jedec-id=20ba19",
                 "n25q256a.sfdp", ""},
        PartCase{"Mx66l1g45gWithA4ByteTable", "kind=8,sfdp=FILE,flash-size=128M,jedec-id=c2201b",
                 "mx66l1g45g.sfdp", ""},
        PartCase{"W25q512jvOnTheQx610", "kind=9,sfdp=FILE,flash-size=64M,jedec-id=ef4020",
                 "w25q512jv.sfdp", ""},
        PartCase{"Mx25l25635fKnownToHave4ByteCommands",
                 "kind=8,sfdp=FILE,flash-size=32M,jedec-id=c22019", "mx25l25635f.sfdp", ""},
        PartCase{"Is25wp256KnownToTake4ByteAddresses",
                 "kind=5,sfdp=FILE,flash-size=32M,jedec-id=9d7019", "is25wp256.sfdp", ""},
        PartCase{"Mx25l25635eWithout4ByteCommands",
                 "kind=8,sfdp=FILE,flash-size=32M,jedec-id=c22019,no-4byte-commands",
                 "mx25l25635e.sfdp",
                 "the flash lacks the 4-byte-address commands 0x13, 0x12, 0xDC, which this board "
                 "sends (from its SFDP tables)"},
        PartCase{"W25q256fvWithout4ByteCommands",
                 "kind=8,sfdp=FILE,flash-size=32M,jedec-id=ef4019,no-4byte-commands",
                 "w25q256fv.sfdp", "the flash lacks the 4-byte-address commands 0x13, 0x12, 0xDC"},
        PartCase{"Mt35xu01gErases128KiB",
                 "kind=8,sfdp=FILE,flash-size=128M,sector-size=128K,jedec-id=2c5b1b",
                 "mt35xu01g.sfdp",
                 "the flash's block erase 0xDC erases 128 KiB, not the 64 KiB blocks the update "
                 "writes"},
        PartCase{"At25ql128aTooSmallForTheQx630",
                 "kind=8,sfdp=FILE,flash-size=16M,jedec-id=1f4218,no-4byte-commands",
                 "at25ql128a.sfdp",
                 "4096 bytes from 0x1000000 reach past the end of the 16 MiB flash"},
        PartCase{"S29ws256nWithBootSectorsAndA64ByteBuffer", "kind=6,cfi=FILE,buffer-size=64",
                 "s29ws256n.cfi",
                 "the flash's write buffer holds 64 bytes, not the 512 bytes the update programs "
                 "at once (from its CFI query)"},
        PartCase{"S29gl256nWithA32ByteBuffer", "kind=7,cfi=FILE,buffer-size=32", "s29gl256n.cfi",
                 "the flash's write buffer holds 32 bytes"},
        PartCase{"Am29dl322dTopBootTooSmall", "kind=4,cfi=FILE,flash-size=4M,sector-size=64K",
                 "am29dl322d-top.cfi",
                 "4096 bytes from 0x1020000 reach past the end of the 4 MiB flash"},
        PartCase{"NoSfdpAndAJedecIdClaimingMore", "kind=8,no-sfdp,flash-size=16M,jedec-id=3d711a",
                 "",
                 "the flash reads at 0x1000000 what it holds at 0x0: it may hold only 16 MiB, "
                 "though its JEDEC ID 3d 71 1a (and no SFDP) gives 64 MiB"}),
    [](const ::testing::TestParamInfo<PartCase>& param) { return param.param.name; });

}  // namespace
}  // namespace tarnvel::testing
