// Which boards the program lists and how it announces them: one line per board in the order
// libudev lists them, the model and hardware version of each kind, and what a supported board
// prints next when no firmware archive exists for it.

#include "harness.hpp"

namespace tarnvel::testing {
namespace {

using sim::RunResult;

TEST_F(MachineTest, NoBoardPrintsNothing) {
    expect_output(run_flash(), "");
}

// The program takes no arguments: --help and --version are answered on standard output, any
// other argument gets one line of usage on standard error and exit status 2; none of them
// looks at a board.
TEST_F(MachineTest, ArgumentsAreAnsweredWithoutTouchingABoard) {
    add_hardware(BoardKind::Qx630, sim::BoardConfig::of_kind(BoardKind::Qx630, 40));
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out;  // a part of standard output; none: it is empty
    };
    for (const Case& c : std::vector<Case>{{{"--help"}, 0, "Usage: tarnvel-flash\n"},
                                           {{"--version"}, 0, "tarnvel-flash "},
                                           {{"-x"}, 2, nullptr},
                                           {{"--help", "--version"}, 2, nullptr},
                                           {{"update"}, 2, nullptr}}) {
        std::vector<std::string> argv{TARNVEL_FLASH_BINARY};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const RunResult result = run(argv, "y\ny\n");
        EXPECT_TRUE(result.exited_with(c.status)) << c.args[0] << ": " << result.describe_end();
        if (c.out != nullptr) {
            EXPECT_TRUE(result.out.starts_with(c.out)) << result.out;
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err,
                      "Usage: tarnvel-flash (no arguments); for options, use tarnvel-fw: "
                      "tarnvel-fw --help\n");
        }
    }
    EXPECT_EQ(hardware(0).register_accesses(), 0u) << "no board was touched";
}

struct KindCase {
    unsigned kind;
    const char* device;  // a PCI device ID of the kind
    const char* hw;      // a hardware text of the kind's table
    unsigned major, minor;
};

class EveryKind : public MachineTestWithParam<KindCase> {};

// The whole output of one board of the kind, with no archive in /lib/firmware/tarnvel: the
// QX1800 tells that it loads its firmware itself, the others that their archive is missing,
// and the parallel-flash kinds get there only after their bus reset went through.
TEST_P(EveryKind, AnnouncesItselfAndLooksForItsArchive) {
    const KindCase& c = GetParam();
    add(pci_board(c.device, std::string(c.hw) + "r19"));
    expect_output(run_flash(),
                  board_without_archive("/dev/tarnvel0", c.kind, c.major, c.minor, 19));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EveryKind,
    ::testing::Values(KindCase{0, "0x0010", "1.0", 0, 0}, KindCase{1, "0x0019", "4.1", 4, 1},
                      KindCase{2, "0x0023", "5.0", 1, 0}, KindCase{3, "0x0024", "5.0", 5, 0},
                      KindCase{4, "0x001a", "1.0", 1, 0}, KindCase{5, "0x0022", "2.0", 2, 0},
                      KindCase{6, "0x001b", "1.1", 1, 1}, KindCase{7, "0x001c", "3.0", 3, 0},
                      KindCase{8, "0x001f", "1.0", 1, 0}, KindCase{9, "0x0025", "4.0", 4, 0},
                      KindCase{10, "0x0020", "3.0", 3, 0}));

// Every PCI device ID the family knows, and its neighbours, in one run.
TEST_F(MachineTest, DeviceIdsSelectTheirKinds) {
    struct IdCase {
        const char* device;
        unsigned kind;
    };
    const IdCase cases[] = {{"0x0018", 0},  {"0x0019", 1}, {"0x001a", 4}, {"0x001b", 6},
                            {"0x001c", 7},  {"0x001d", 0}, {"0x001e", 0}, {"0x001f", 8},
                            {"0x0020", 10}, {"0x0021", 1}, {"0x0022", 5}, {"0x0023", 2},
                            {"0x0024", 3},  {"0x0025", 9}, {"0x0026", 5}, {"0x0027", 8},
                            {"0x0028", 1},  {"0x0029", 0}, {"0x001A", 4}};
    std::string expected;
    for (const IdCase& c : cases) {
        // "9.9" is in no kind's table: every supported board prints v0.0.
        const std::size_t index = add(pci_board(c.device, "9.9r7"));
        expected += board_without_archive(testbed().devnode(index), c.kind, 0, 0, 7);
    }
    expect_output(run_flash(), expected);
}

struct HwCase {
    unsigned kind;
    const char* device;
    const char* version;
    unsigned major, minor;
};

class HardwareVersion : public MachineTestWithParam<HwCase> {};

TEST_P(HardwareVersion, IsMappedByTheKindsTable) {
    const HwCase& c = GetParam();
    add(pci_board(c.device, c.version));
    const RunResult result = run_flash();
    EXPECT_TRUE(result.out.starts_with(device_line("/dev/tarnvel0", c.kind, c.major, c.minor)))
        << result.out;
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end();
}

INSTANTIATE_TEST_SUITE_P(
    Table, HardwareVersion,
    ::testing::Values(HwCase{2, "0x0023", "5.0r1", 1, 0},  // QX410M2 reports 5.0, is 1.0
                      HwCase{1, "0x0019", "5.0r1", 5, 0}, HwCase{3, "0x0024", "5.0r1", 5, 0},
                      HwCase{1, "0x0019", "3.0r1", 3, 0}, HwCase{1, "0x0019", "6.0r1", 6, 0},
                      HwCase{5, "0x0022", "3.0r1", 3, 0}, HwCase{8, "0x0027", "2.0r1", 2, 0},
                      HwCase{8, "0x001f", "1.1r1", 1, 1},
                      HwCase{1, "0x0019", "2.0r7", 0, 0},   // not in the QX410's table
                      HwCase{1, "0x0019", "7.7r1", 0, 0},   // in no table at all
                      HwCase{6, "0x001b", "1.0r1", 0, 0},   // another kind's text
                      HwCase{1, "0x0019", "4.10r1", 0, 0},  // four bytes, not three
                      HwCase{1, "0x0019", "r1", 0, 0}));    // empty hardware part

TEST_F(MachineTest, BoardsAreListedInLibudevOrderNotByNodeName) {
    // libudev lists by sysfs path: the parents' slots follow the order of adding.
    for (unsigned node : {3u, 1u, 2u}) {
        sim::BoardConfig config = pci_board("0x0010", "1.0r1");
        config.node_number = node;
        add(std::move(config));
    }
    expect_output(run_flash(), unsupported_line("/dev/tarnvel3") +
                                   unsupported_line("/dev/tarnvel1") +
                                   unsupported_line("/dev/tarnvel2"));
}

TEST_F(MachineTest, SubDeviceOfABoardIsNotABoard) {
    add(pci_board("0x0022", "2.0r5"));
    sim::BoardConfig part = pci_board(std::nullopt, "2.0r5");
    part.parent = sim::SubDeviceOf{0};
    add(std::move(part));
    add(pci_board("0x0010", "1.0r1"));
    expect_output(run_flash(), board_without_archive("/dev/tarnvel0", 5, 2, 0, 5) +
                                   unsupported_line("/dev/tarnvel2"));
}

TEST_F(MachineTest, BoardBehindANonPciParentIsUnsupported) {
    sim::BoardConfig config = pci_board(std::nullopt, "2.0r5");
    config.parent = sim::OtherParent{"platform"};
    add(std::move(config));
    expect_output(run_flash(), unsupported_line("/dev/tarnvel0"));
}

}  // namespace
}  // namespace tarnvel::testing
