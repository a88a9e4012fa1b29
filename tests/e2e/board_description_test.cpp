// The board descriptions of tarnvel-sim, and the machine they build.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>

#include "sim/firmware/archive_images.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/register_file.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"
#include "sim/testbed/board_description.hpp"
#include "sim/testbed/described_boards.hpp"

namespace tarnvel::sim {
namespace {

std::optional<std::string> pci_device(const BoardConfig& config) {
    const auto* pci = std::get_if<PciParent>(&config.parent);
    return pci != nullptr ? pci->device : std::optional<std::string>("(not pci)");
}

TEST(BoardDescription, KindGivesItsDeviceIdAndFirstHardwareVersion) {
    struct Case {
        const char* text;
        const char* device;
        const char* version;
    };
    for (const Case& c :
         {Case{"kind=0", "0x0010", "1.0r100"}, Case{"kind=1", "0x0019", "3.0r100"},
          Case{"kind=2", "0x0023", "5.0r100"}, Case{"kind=5", "0x0022", "2.0r100"},
          Case{"kind=9", "0x0025", "4.0r100"}, Case{"kind=10", "0x0020", "3.0r100"}}) {
        auto board = parse_board_description(c.text);
        ASSERT_TRUE(board) << c.text;
        EXPECT_EQ(pci_device(board->config), c.device) << c.text;
        EXPECT_EQ(board->config.version, c.version) << c.text;
    }
}

TEST(BoardDescription, SettingsApplyLeftToRight) {
    auto board = parse_board_description(
        "kind=5,version=2.0r7,device=0x0x22,software_id=-5,node=12,node-state=denied,"
        "reboot=directory,factory=2.0r8,archive=older,image-size=512,model=registers,"
        "fault=7:16+");
    ASSERT_TRUE(board);
    EXPECT_EQ(board->kind, BoardKind::Qx480Spi);
    EXPECT_EQ(pci_device(board->config), "0x0x22");
    EXPECT_EQ(board->config.version, "2.0r7");
    EXPECT_EQ(board->config.software_id, "-5");
    EXPECT_EQ(board->config.node_number, 12u);
    EXPECT_EQ(board->config.node, NodeState::PermissionDenied);
    EXPECT_EQ(board->config.reboot, RebootState::IsDirectory);
    EXPECT_EQ(board->config.factory_version, "2.0r8");
    EXPECT_TRUE(board->config.factory_image);
    EXPECT_EQ(board->archive, ArchivePlan::Older);
    EXPECT_EQ(board->image_size, 512u);
    EXPECT_EQ(board->model, ModelChoice::Registers);
    ASSERT_TRUE(board->fault);
    EXPECT_EQ(board->fault->access, 7u);
    EXPECT_EQ(board->fault->error, EBUSY);
    EXPECT_TRUE(board->fault->persistent);

    // A later kind= starts the parent and version afresh.
    board = parse_board_description("device=0x0x22,version=x,kind=4");
    ASSERT_TRUE(board);
    EXPECT_EQ(pci_device(board->config), "0x001a");
    EXPECT_EQ(board->config.version, "1.0r100");
}

TEST(BoardDescription, ParentsAndAbsentAttributes) {
    auto board = parse_board_description("parent=platform,no-version,no-software-id");
    ASSERT_TRUE(board);
    ASSERT_TRUE(std::holds_alternative<OtherParent>(board->config.parent));
    EXPECT_EQ(std::get<OtherParent>(board->config.parent).subsystem, "platform");
    EXPECT_FALSE(board->config.version);
    EXPECT_FALSE(board->config.software_id);

    board = parse_board_description("kind=5,parent=board:0");
    ASSERT_TRUE(board);
    ASSERT_TRUE(std::holds_alternative<SubDeviceOf>(board->config.parent));
    EXPECT_EQ(std::get<SubDeviceOf>(board->config.parent).board, 0u);

    board = parse_board_description("kind=5,no-device");
    ASSERT_TRUE(board);
    EXPECT_EQ(pci_device(board->config), std::nullopt);

    board = parse_board_description("device=,version=,software_id=");
    ASSERT_TRUE(board);
    EXPECT_EQ(pci_device(board->config), "");
    EXPECT_EQ(board->config.version, "");
    EXPECT_EQ(board->config.software_id, "");

    board = parse_board_description("kind=5,factory=none");
    ASSERT_TRUE(board);
    EXPECT_FALSE(board->config.factory_image);

    board = parse_board_description("fault=3");
    ASSERT_TRUE(board);
    EXPECT_EQ(board->fault->error, EIO);
    EXPECT_FALSE(board->fault->persistent);
}

TEST(BoardDescription, RejectsWhatItCanNotBuild) {
    for (const char* text : {"",
                             "kind=11",
                             "kind=-1",
                             "kind=",
                             "kind",
                             "colour=red",
                             "no-colour",
                             "node=x",
                             "node-state=gone",
                             "reboot=maybe",
                             "archive=latest",
                             "image-size=0",
                             "model=other",
                             "model=hardware",
                             "fault=0",
                             "fault=x",
                             "fault=3:",
                             "fault=3:0",
                             "parent=",
                             "parent=board:x",
                             "kind=5,,version=1"}) {
        auto board = parse_board_description(text);
        EXPECT_FALSE(board) << '"' << text << '"';
        if (!board) {
            EXPECT_EQ(board.error().kind(), ErrorKind::InvalidInput) << text;
        }
    }
}

TEST(BoardDescription, FlashPartSettingsReachTheChipThatHoldsTheFirmware) {
    auto serial = parse_board_description(
        "kind=8,flash-size=32M,sector-size=256K,no-4byte-commands,"
        "no-sfdp,buffer-size=64");
    ASSERT_TRUE(serial);
    const BoardOptions spi = board_options(*serial->kind, serial->flash_part);
    EXPECT_EQ(spi.spi.size_bytes, 32u << 20);
    EXPECT_EQ(spi.spi.answered_jedec_id(), (std::array<std::uint8_t, 3>{0x3D, 0x71, 0x19}));
    EXPECT_EQ(spi.spi.block_erase_bytes, 256u << 10);
    EXPECT_FALSE(spi.spi.four_byte_commands);
    EXPECT_FALSE(spi.spi.sfdp);
    EXPECT_EQ(spi.parallel.buffer_bytes, BoardOptions{}.parallel.buffer_bytes);

    auto parallel = parse_board_description(
        "kind=6,flash-size=16M,sector-size=64K,buffer-size=64,"
        "jedec-id=EF4018");
    ASSERT_TRUE(parallel);
    const BoardOptions bpi = board_options(*parallel->kind, parallel->flash_part);
    EXPECT_EQ(bpi.parallel.size_bytes, 16u << 20);
    EXPECT_EQ(bpi.parallel.sector_bytes, 64u << 10);
    EXPECT_EQ(bpi.parallel.buffer_bytes, 64u);
    EXPECT_EQ(bpi.spi.jedec_id, BoardOptions{}.spi.jedec_id);

    for (const char* text : {"flash-size=3M", "flash-size=32K", "flash-size=4G", "flash-size=M",
                             "sector-size=2K", "sector-size=32M", "buffer-size=1", "buffer-size=2K",
                             "jedec-id=3d71", "jedec-id=3d71xx", "jedec-id=+3d711"}) {
        EXPECT_FALSE(parse_board_description(text)) << text;
    }
}

// A part's table comes from a regular file no larger than a table: a device that never ends, a
// FIFO no one writes and a directory are refused at once, with why.
TEST(BoardDescription, PartTablesAreReadOnlyFromRegularFilesOfATablesSize) {
    const TempDir dir("tarnvel-tables.");
    const std::filesystem::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::filesystem::path large = dir.path() / "large.sfdp";
    ASSERT_TRUE(write_whole_file(large, std::string(1 << 20, '\xff')));
    struct Case {
        std::string setting;
        const char* why;  // none: taken
    };
    const Case cases[] = {
        {"sfdp=/dev/zero", "not a regular file"},
        {"cfi=/dev/zero", "not a regular file"},
        {"sfdp=" + fifo.string(), "not a regular file"},
        {"cfi=" + dir.path().string(), "not a regular file"},
        {"sfdp=" + large.string(), "larger than a table is"},
        {"sfdp=" + std::string(TARNVEL_PARTS_DIR) + "/w25q512jv.sfdp", nullptr},
    };
    for (const Case& c : cases) {
        auto board = parse_board_description("kind=8," + c.setting);
        if (c.why == nullptr) {
            EXPECT_TRUE(board) << c.setting << ": " << error_text(board.error());
            continue;
        }
        ASSERT_FALSE(board) << c.setting;
        EXPECT_NE(error_text(board.error()).find(c.why), std::string::npos)
            << error_text(board.error());
    }
}

TEST(BoardDescription, FirmwareOfAVersionText) {
    EXPECT_EQ(firmware_of("4.1r123"), 123u);
    EXPECT_EQ(firmware_of("5.0r12r9"), 12u);
    EXPECT_EQ(firmware_of("5.0"), std::nullopt);
    EXPECT_EQ(firmware_of("5.0r"), std::nullopt);
    EXPECT_EQ(firmware_of("5.0rx"), std::nullopt);
}

TEST(DescribedBoards, BuildModelsAndArchivesAsDescribed) {
    auto testbed = Testbed::create();
    ASSERT_TRUE(testbed);
    auto firmware = FirmwareDir::create();
    ASSERT_TRUE(firmware);
    std::vector<BoardDescription> boards;
    for (const char* text : {"kind=5,version=2.0r7,archive=older", "kind=2,version=5.0r12",
                             "kind=1,version=4.1r0,archive=older", "kind=8,archive=none",
                             "kind=4,fault=1:16", "parent=platform", "kind=10"}) {
        auto board = parse_board_description(text);
        ASSERT_TRUE(board) << text;
        boards.push_back(std::move(*board));
    }
    auto notes = add_described_boards(**testbed, &*firmware, std::move(boards));
    ASSERT_TRUE(notes) << error_text(notes.error());
    // Firmware 0 has no older image.
    ASSERT_EQ(notes->size(), 1u);
    EXPECT_NE(notes->front().find("board 2"), std::string::npos) << notes->front();

    // Archives named for the hardware pair the board's kind maps its text to, with one image.
    std::set<std::string> archives;
    for (const auto& entry : std::filesystem::directory_iterator(firmware->archive_dir())) {
        archives.insert(entry.path().filename().string());
    }
    EXPECT_EQ(archives,
              (std::set<std::string>{"qx480v2_0.zip", "qx410m2v1_0.zip", "qx480v1_0.zip"}));

    Testbed& bed = **testbed;
    EXPECT_NE(bed.model_as<SimBoard>(0), nullptr);
    EXPECT_NE(bed.model_as<RegisterFaults>(4), nullptr);
    EXPECT_NE(bed.model_as<RegisterFile>(5), nullptr);
    // The archives' images are what the boards can start: board 0's, once its flash holds it.
    std::vector<KnownImage> images = archive_images(firmware->archive_dir());
    ASSERT_EQ(images.size(), 3u);
    const auto older = std::ranges::find(images, 6, &KnownImage::firmware);
    ASSERT_NE(older, images.end());
    bed.model_as<SimBoard>(0)->firmware_flash()->load(board_info(BoardKind::Qx480Spi).base_address,
                                                      older->data);
    bed.set_firmware_archives(firmware->archive_dir());
    EXPECT_EQ(bed.load_firmware(0).version, "2.0r6");
}

}  // namespace
}  // namespace tarnvel::sim
