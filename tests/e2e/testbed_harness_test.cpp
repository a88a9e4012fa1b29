// The simulated machine itself, checked with ordinary tools instead of the updater: what a
// program run in it gets on its standard streams, how its end is reported, what it sees of
// /lib/firmware, sysfs and the device nodes, and that the register ioctl reaches the board's
// model through the simulated driver.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>

#include "harness.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/register_file.hpp"

namespace tarnvel::testing {
namespace {

using sim::RunResult;

std::vector<std::string> shell(std::string script) {
    return {"/bin/sh", "-c", std::move(script)};
}

TEST_F(MachineTest, StandardInputIsFedWhileOutputIsCollected) {
    // Larger than a pipe holds both ways: feeding and collecting must interleave.
    std::string input;
    for (int i = 0; input.size() < 300000; ++i) input += std::to_string(i) + "\n";
    const RunResult result = run({"cat"}, input);
    EXPECT_EQ(result.out, input);
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end();
}

TEST_F(MachineTest, StandardInputIsClosedOrEmptyAsAsked) {
    const std::string probe = "if [ -e /proc/$$/fd/0 ]; then echo open; else echo closed; fi";
    EXPECT_EQ(run(shell(probe)).out, "closed\n");
    EXPECT_EQ(run(shell(probe), "").out, "open\n");
}

TEST_F(MachineTest, ProgramThatIgnoresItsInputDoesNotHurtTheRunner) {
    const RunResult result = run(shell("exit 0"), std::string(1 << 20, 'y'));
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end();
}

struct EndCase {
    const char* script;
    std::optional<int> exit_status;
    std::optional<int> signal;
    const char* out;
    const char* err;
};

class ProgramEnd : public MachineTestWithParam<EndCase> {};

TEST_P(ProgramEnd, IsReportedWithBothStreamsApart) {
    const RunResult result = run(shell(GetParam().script));
    EXPECT_EQ(result.exit_status, GetParam().exit_status);
    EXPECT_EQ(result.signal, GetParam().signal);
    EXPECT_EQ(result.out, GetParam().out);
    EXPECT_EQ(result.err, GetParam().err);
    EXPECT_FALSE(result.timed_out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramEnd,
    ::testing::Values(EndCase{"echo out; echo err >&2", 0, {}, "out\n", "err\n"},
                      EndCase{"printf x; exit 3", 3, {}, "x", ""},
                      EndCase{"exit 101", 101, {}, "", ""},
                      EndCase{"kill -TERM $$", {}, 15, "", ""}));

TEST_F(MachineTest, TimeOutKillsTheProgramAndWhatItStarted) {
    const auto start = std::chrono::steady_clock::now();
    const RunResult result = run(shell("echo started; sleep 30 & wait"), std::nullopt,
                                 sim::FirmwareMount::Auto, std::chrono::milliseconds(300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(result.timed_out);
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_EQ(result.out, "started\n");
}

TEST_F(MachineTest, UnknownCommandIsAnErrorNotAnExitStatus) {
    auto result = sim::run_program(testbed(),
                                   {{"no-such-command-anywhere"}, std::nullopt, firmware().path()});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::NotFound);
}

TEST_F(MachineTest, ProgramSeesTheTestbedThroughThePreload) {
    const RunResult result =
        run(shell("echo \"$UMOCKDEV_DIR\"; echo \"$TARNVEL_STATE_DIR\"; echo \"$LD_PRELOAD\""));
    EXPECT_TRUE(result.out.starts_with(testbed().root_dir().string() + "\n" +
                                       testbed().state_dir().string() + "\n"))
        << result.out;
    EXPECT_NE(result.out.find("libumockdev-preload.so.0"), std::string::npos) << result.out;
}

std::set<std::string> real_firmware_listing() {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/lib/firmware", ec)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool machine_has_firmware_dir() {
    std::error_code ec;
    return std::filesystem::is_directory("/lib/firmware", ec);
}

class FirmwareMountTest : public MachineTestWithParam<sim::FirmwareMount> {};

TEST_P(FirmwareMountTest, ProgramSeesItsOwnArchivesAndTheMachineKeepsItsOwn) {
    if (GetParam() == sim::FirmwareMount::Bind && !machine_has_firmware_dir()) {
        // A minimal system has no /lib/firmware: Bind refuses it instead of making one in the
        // machine's own tree.
        auto result = sim::run_program(testbed(), {.argv = shell("true"),
                                                   .stdin_bytes = std::nullopt,
                                                   .firmware_root = firmware().path(),
                                                   .firmware_mount = sim::FirmwareMount::Bind});
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind(), ErrorKind::NotFound);
        EXPECT_NE(error_text(result.error()).find("no /lib/firmware"), std::string::npos)
            << error_text(result.error());
        EXPECT_FALSE(machine_has_firmware_dir());
        return;
    }
    const auto before = real_firmware_listing();
    const std::uint8_t marker[] = {'o', 'k'};
    ASSERT_TRUE(firmware().add_file("marker.zip", marker));
    const RunResult result = run(shell("cat /lib/firmware/tarnvel/marker.zip; ls /lib/firmware"),
                                 std::nullopt, GetParam());
    EXPECT_EQ(result.out, "oktarnvel\n") << result.err;
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << result.err;
    EXPECT_EQ(real_firmware_listing(), before);
}

INSTANTIATE_TEST_SUITE_P(Modes, FirmwareMountTest,
                         ::testing::Values(sim::FirmwareMount::Auto, sim::FirmwareMount::Bind,
                                           sim::FirmwareMount::Overlay));

TEST_F(MachineTest, SysfsShowsTheBoardsTextsByteForByte) {
    add(pci_board("0x0x22", "2.0r\\n7", "-5"));
    const std::string sys = testbed().syspath(0);
    const RunResult result = run(shell("cat " + sys + "/version; echo; cat " + sys +
                                       "/software_id; echo; cat " + sys + "/../../device"));
    EXPECT_EQ(result.out, "2.0r\\n7\n-5\n0x0x22");
}

struct RebootCase {
    sim::RebootState state;
    bool accepted;
};

class RebootAttribute : public MachineTestWithParam<RebootCase> {};

TEST_P(RebootAttribute, TakesTheWriteOnlyWhenItAccepts) {
    sim::BoardConfig config = pci_board("0x0022", "2.0r7");
    config.reboot = GetParam().state;
    add(std::move(config));
    // Written as libudev writes it: no creating, no truncating.
    const RunResult result =
        run(shell("printf '1\\n' | dd status=none conv=nocreat,notrunc of=" + testbed().syspath(0) +
                  "/reboot"));
    EXPECT_EQ(result.exited_with(0), GetParam().accepted) << result.err;
    if (GetParam().accepted) {
        EXPECT_EQ(testbed().reboot_written(0), "1");
    } else {
        EXPECT_NE(testbed().reboot_written(0), "1");
    }
}

INSTANTIATE_TEST_SUITE_P(States, RebootAttribute,
                         ::testing::Values(RebootCase{sim::RebootState::Accepts, true},
                                           RebootCase{sim::RebootState::Missing, false},
                                           RebootCase{sim::RebootState::IsDirectory, false},
                                           RebootCase{sim::RebootState::PermissionDenied, false}));

// Register requests from a script: "w:REG:VALUE" or "r:REG" per argument after the node; one
// output line per request, "ok VALUE" or "err ERRNO", or "open ERRNO" when the node won't open.
constexpr const char* kRegisterScript = R"(
open(my $node, "+<", shift) or do { print "open ", $! + 0, "\n"; exit 0 };
for (@ARGV) {
    my ($op, $reg, $value) = split /:/;
    my $request = pack("L4", $op eq "w" ? 2 : 1, $reg, $value // 0, 0);
    if (ioctl($node, 0xC0104600, $request)) {
        print "ok ", (unpack("L4", $request))[2], "\n";
    } else {
        print "err ", $! + 0, "\n";
    }
}
)";

class RegisterIoctl : public MachineTest {
  protected:
    void SetUp() override {
        if (::access("/usr/bin/perl", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/perl";
        MachineTest::SetUp();
    }
    RunResult requests(std::size_t board, std::vector<std::string> ops) {
        std::vector<std::string> argv = {"/usr/bin/perl", "-e", kRegisterScript,
                                         testbed().devnode(board)};
        argv.insert(argv.end(), ops.begin(), ops.end());
        return run(std::move(argv));
    }
};

TEST_F(RegisterIoctl, ReachesTheBoardsModelAndReturnsItsAnswer) {
    add(pci_board("0x0022", "2.0r7"));
    add(pci_board("0x0022", "2.0r7"));
    const RunResult result = requests(1, {"w:133:4660", "r:133", "r:134"});
    EXPECT_EQ(result.out, "ok 4660\nok 4660\nok 0\n") << result.err;
    auto* board = testbed().model_as<sim::RegisterFile>(1);
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(board->value(133), 4660u);
    EXPECT_EQ(board->write_count(), 1u);
    EXPECT_EQ(board->read_count(), 2u);
    // The other board's node is served by its own model.
    EXPECT_EQ(testbed().with_model(0,
                                   [](sim::RegisterModel& m) {
                                       return dynamic_cast<sim::RegisterFile&>(m).read_count();
                                   }),
              0u);
}

TEST_F(RegisterIoctl, DriverFaultReachesTheCallerAsItsErrno) {
    sim::BoardConfig config = pci_board("0x0022", "2.0r7");
    config.model = std::make_unique<sim::RegisterFaults>(
        std::make_unique<sim::RegisterFile>(), sim::RegisterFault{.access = 2, .error = EBUSY});
    add(std::move(config));
    const RunResult result = requests(0, {"w:133:1", "w:133:2", "r:133"});
    EXPECT_EQ(result.out, "ok 1\nerr 16\nok 1\n") << result.err;
}

TEST_F(RegisterIoctl, OtherRequestCodesAreNotTheBoards) {
    add(pci_board("0x0022", "2.0r7"));
    const std::string script =
        std::string(kRegisterScript)
            .replace(std::string(kRegisterScript).find("0xC0104600"), 10, "0xC0104601");
    const RunResult result = run({"/usr/bin/perl", "-e", script, testbed().devnode(0), "w:133:1"});
    EXPECT_EQ(result.out, "err 25\n") << result.err;  // ENOTTY
    EXPECT_EQ(testbed().model_as<sim::RegisterFile>(0)->write_count(), 0u);
}

// A write to "reboot" has the board load its firmware before the write returns: the shell
// reads "version" right after it, as the updater does. (The shell writes with write(2), as
// libudev does.)
TEST_F(MachineTest, RebootLoadsTheFlashsImageBeforeTheWriteReturns) {
    const std::vector<std::uint8_t> image = sim::firmware_bytes(512, 9);
    sim::BoardConfig config = pci_board("0x0022", "2.0r7");
    config.images.push_back({image, 9});
    add_hardware(BoardKind::Qx480Spi, std::move(config));
    hardware(0).firmware_flash()->load(firmware_base_address(BoardKind::Qx480Spi), image);
    // Loaded into the flash, not started yet.
    EXPECT_EQ(testbed().attribute(0, "version"), "2.0r7");

    const RunResult result =
        run(shell("printf 1 > /sys/class/tarnvel/tarnvel0/reboot && cat "
                  "/sys/class/tarnvel/tarnvel0/version"));
    EXPECT_EQ(result.out, "2.0r9") << result.err;
    EXPECT_EQ(testbed().reboot_written(0), "1");
}

// A board that finds nothing to start in its flash and has no factory image leaves the bus.
TEST_F(MachineTest, BoardThatStartsNothingIsGoneFromUdevAndDev) {
    sim::BoardConfig config = pci_board("0x0022", "2.0r7");
    config.factory_image = false;
    add_hardware(BoardKind::Qx480Spi, std::move(config));
    hardware(0).firmware_flash()->fill(firmware_base_address(BoardKind::Qx480Spi), 0x10000, 0xFF);

    const RunResult result =
        run(shell("printf 1 > /sys/class/tarnvel/tarnvel0/reboot && "
                  "ls /dev /sys/class/tarnvel 2>/dev/null; true"));
    EXPECT_NE(result.out.find("/dev:"), std::string::npos) << result.out << result.err;
    EXPECT_EQ(result.out.find("tarnvel0"), std::string::npos) << result.out;
    EXPECT_FALSE(testbed().present(0));
    EXPECT_FALSE(std::filesystem::exists(testbed().root_dir() / "dev/tarnvel0"));
}

struct NodeCase {
    sim::NodeState state;
    const char* out;
};

class NodeAccess : public RegisterIoctl, public ::testing::WithParamInterface<NodeCase> {};

TEST_P(NodeAccess, OpenFailsAsTheStateSays) {
    sim::BoardConfig config = pci_board("0x0022", "2.0r7");
    config.node = GetParam().state;
    add(std::move(config));
    EXPECT_EQ(requests(0, {"r:133"}).out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(States, NodeAccess,
                         ::testing::Values(NodeCase{sim::NodeState::Present, "ok 0\n"},
                                           NodeCase{sim::NodeState::Missing, "open 2\n"},
                                           NodeCase{sim::NodeState::PermissionDenied,
                                                    "open 13\n"}));

TEST(Testbed, OneProcessHoldsOneTestbedAtATime) {
    auto first = sim::Testbed::create();
    ASSERT_TRUE(first);
    EXPECT_FALSE(sim::Testbed::create());
    first->reset();
    EXPECT_TRUE(sim::Testbed::create());
}

TEST(Testbed, RejectsTwoBoardsOnOneNodeAndSubDevicesOfUnknownBoards) {
    auto testbed = sim::Testbed::create();
    ASSERT_TRUE(testbed);
    ASSERT_TRUE((*testbed)->add_board(pci_board("0x0022", "2.0r7")));
    sim::BoardConfig same_node = pci_board("0x0022", "2.0r7");
    same_node.node_number = 0;
    EXPECT_FALSE((*testbed)->add_board(std::move(same_node)));
    sim::BoardConfig orphan = pci_board(std::nullopt, "2.0r7");
    orphan.parent = sim::SubDeviceOf{5};
    EXPECT_FALSE((*testbed)->add_board(std::move(orphan)));
}

}  // namespace
}  // namespace tarnvel::testing
