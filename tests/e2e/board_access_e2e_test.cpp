// Boards the program lists but can't work with: a device node that has gone away or that the
// user may not open, and a parallel-flash board whose driver refuses the bus reset. Each gets
// its "Cannot open device" line with the error's kind, and the run goes on with the next
// board.

#include <cerrno>

#include "harness.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/register_file.hpp"

namespace tarnvel::testing {
namespace {

struct NodeCase {
    sim::NodeState state;
    const char* kind_text;
};

class UnopenableNode : public MachineTestWithParam<NodeCase> {};

TEST_P(UnopenableNode, IsReportedWithTheErrorKind) {
    sim::BoardConfig config = pci_board("0x0022", "2.0r7");
    config.node = GetParam().state;
    add(std::move(config));
    add(pci_board("0x0010", "1.0r1"));
    expect_output(run_flash(), device_line("/dev/tarnvel0", 5, 2, 0) +
                                   cannot_open_line(GetParam().kind_text) +
                                   unsupported_line("/dev/tarnvel1"));
    // Nothing reached the driver.
    EXPECT_EQ(testbed().model_as<sim::RegisterFile>(0)->read_count() +
                  testbed().model_as<sim::RegisterFile>(0)->write_count(),
              0u);
}

INSTANTIATE_TEST_SUITE_P(States, UnopenableNode,
                         ::testing::Values(NodeCase{sim::NodeState::Missing, "entity not found"},
                                           NodeCase{sim::NodeState::PermissionDenied,
                                                    "permission denied"}));

struct ResetCase {
    unsigned kind;
    const char* device;
    const char* hw;
    unsigned major, minor;
    int error;
    const char* kind_text;
};

class RefusedBusReset : public MachineTestWithParam<ResetCase> {};

TEST_P(RefusedBusReset, PassesOverTheBoard) {
    const ResetCase& c = GetParam();
    sim::BoardConfig config = pci_board(c.device, std::string(c.hw) + "r7");
    config.model = std::make_unique<sim::RegisterFaults>(
        std::make_unique<sim::RegisterFile>(),
        sim::RegisterFault{.access = 1, .error = c.error, .persistent = true});
    add(std::move(config));
    add(pci_board("0x0010", "1.0r1"));
    expect_output(run_flash(), device_line("/dev/tarnvel0", c.kind, c.major, c.minor) +
                                   cannot_open_line(c.kind_text) +
                                   unsupported_line("/dev/tarnvel1"));
    // The reset stopped at its first refused access.
    auto* faults = testbed().model_as<sim::RegisterFaults>(0);
    ASSERT_NE(faults, nullptr);
    EXPECT_EQ(faults->access_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    ParallelFlashKinds, RefusedBusReset,
    ::testing::Values(ResetCase{4, "0x001a", "1.0", 1, 0, EBUSY, "resource busy"},
                      ResetCase{6, "0x001b", "1.1", 1, 1, EIO, "uncategorized error"},
                      ResetCase{7, "0x001c", "3.0", 3, 0, ETIMEDOUT, "timed out"}));

// A serial-flash board reaches no register before it looks for its archive, so a driver that
// refuses every access makes no difference yet.
TEST_F(MachineTest, SerialFlashBoardWithoutArchiveTouchesNoRegister) {
    sim::BoardConfig config = pci_board("0x0022", "2.0r7");
    config.model = std::make_unique<sim::RegisterFaults>(
        std::make_unique<sim::RegisterFile>(),
        sim::RegisterFault{.access = 1, .error = EIO, .persistent = true});
    add(std::move(config));
    expect_output(run_flash(), board_without_archive("/dev/tarnvel0", 5, 2, 0, 7));
}

}  // namespace
}  // namespace tarnvel::testing
