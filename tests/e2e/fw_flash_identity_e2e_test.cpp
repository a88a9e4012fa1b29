// tarnvel-fw identifies the flash part before it erases or reads anything, and refuses a part
// the programming sequence does not fit, or a length beyond the part, naming what it found.

#include <filesystem>
#include <functional>

#include "fw_harness.hpp"
#include "sim/testbed/described_boards.hpp"

namespace tarnvel::testing {
namespace {

constexpr std::uint16_t kFirmware = 60;
constexpr std::int32_t kImage = 61;

struct MisfitCase {
    const char* name;
    BoardKind kind;
    std::function<void(sim::BoardOptions&)> part;
    std::vector<std::string> args;  // OUTPUT stands for a file in the scratch directory
    const char* reason;
};

void PrintTo(const MisfitCase& c, std::ostream* os) {
    *os << c.name;
}

class FwMisfitPart : public FwTestWithParam<MisfitCase> {};

TEST_P(FwMisfitPart, IsRefusedBeforeAnythingIsErasedOrRead) {
    const MisfitCase& c = GetParam();
    sim::BoardOptions options;
    c.part(options);
    ASSERT_TRUE(sim::add_hardware_board(testbed(), c.kind,
                                        sim::BoardConfig::of_kind(c.kind, kFirmware), options));
    const HwVersionEntry& hw = board_info(c.kind).hw_versions.front();
    ASSERT_TRUE(
        firmware().add_board_image(c.kind, hw.major, hw.minor, kImage, sim::firmware_bytes(4096)));
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
        if (arg == "OUTPUT") arg = scratch_file("copy.bin");
    }

    const sim::RunResult result = fw(args);
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << "\n"
                                                      << result.err;
    const std::string said = result.out + result.err;
    EXPECT_NE(said.find(c.reason), std::string::npos) << said;
    EXPECT_FALSE(firmware_storage(hardware(0)).changed());
    EXPECT_FALSE(std::filesystem::exists(scratch_file("copy.bin")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FwMisfitPart,
    ::testing::Values(
        MisfitCase{"UpdateOnUniformSectorsOf256KiB",
                   BoardKind::Qx630,
                   [](sim::BoardOptions& o) { o.spi.block_erase_bytes = 256 << 10; },
                   {"update", "--yes", "--json"},
                   "the flash part does not fit: the flash's block erase 0xDC erases 256 KiB"},
        MisfitCase{"UpdateWithA32WordWriteBuffer",
                   BoardKind::Qx610Bpi,
                   [](sim::BoardOptions& o) { o.parallel.buffer_bytes = 64; },
                   {"update", "--yes", "--json"},
                   "the flash's write buffer holds 64 bytes"},
        MisfitCase{"VerifyWithout4ByteRead",
                   BoardKind::Qx610Spi,
                   [](sim::BoardOptions& o) { o.spi.four_byte_commands = false; },
                   {"verify", "--json"},
                   "the 4-byte-address command 0x13"},
        MisfitCase{
            "DumpPastTheEndOfTheChip",
            BoardKind::Qx630,
            [](sim::BoardOptions& o) { o.spi.size_bytes = 32u << 20; },
            {"dump", "--board", "/dev/tarnvel0", "--output", "OUTPUT", "--length", "16777217"},
            "16777217 bytes from 0x1000000 reach past the end of the 32 MiB flash"}),
    [](const ::testing::TestParamInfo<MisfitCase>& param) { return param.param.name; });

}  // namespace
}  // namespace tarnvel::testing
