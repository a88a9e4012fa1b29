// The two plain register models of the simulated driver: a register file, and the fault
// decorator that makes the driver refuse chosen accesses. Both are driven through the
// program's own register channel on the in-process route, so a test sees what the program
// would see.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "device/register_channel.hpp"
#include "sim/in_process.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/register_file.hpp"

namespace tarnvel::sim {
namespace {

struct Access {
    bool write;
    std::uint32_t reg;
    std::uint32_t value;  // written, or expected back from a read that succeeds
};

// One access through the channel: 0 or the error number the program gets.
int perform(int fd, const Access& access, std::uint32_t* read_back = nullptr) {
    if (access.write) {
        auto done = register_write(fd, access.reg, access.value);
        return done ? 0 : done.error().code;
    }
    auto value = register_read(fd, access.reg);
    if (!value) return value.error().code;
    if (read_back != nullptr) *read_back = *value;
    return 0;
}

TEST(RegisterFile, ReadReturnsTheLastValueWrittenToThatRegister) {
    RegisterFile registers;
    InProcessNode node(registers);
    const Access script[] = {
        {false, 0x85, 0}, {true, 0x85, 0x1234}, {true, 0x86, 0xFFFFFFFF},  {false, 0x85, 0x1234},
        {true, 0x85, 7},  {false, 0x85, 7},     {false, 0x86, 0xFFFFFFFF}, {false, 0xD3, 0}};
    for (const Access& access : script) {
        std::uint32_t got = 0xDEADBEEF;
        ASSERT_EQ(perform(node.fd(), access, &got), 0);
        if (!access.write) {
            EXPECT_EQ(got, access.value) << "register " << access.reg;
        }
    }
    EXPECT_EQ(registers.write_count(), 3u);
    EXPECT_EQ(registers.read_count(), 5u);
    EXPECT_TRUE(registers.written(0x86));
    EXPECT_FALSE(registers.written(0xD3));
}

struct FaultCase {
    const char* name;
    RegisterFault fault;
    std::vector<int> results;   // of accesses 1..n: a write of n to register 0x85 each
    std::uint32_t last_stored;  // what the wrapped register file holds afterwards
};

class FaultPlan : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultPlan, FailsExactlyThePlannedAccessesAndHidesThemFromTheBoard) {
    const FaultCase& c = GetParam();
    RegisterFile board;
    RegisterFaults faults(board, c.fault);
    InProcessNode node(faults);
    for (std::size_t i = 0; i < c.results.size(); ++i) {
        const auto n = static_cast<std::uint32_t>(i + 1);
        EXPECT_EQ(perform(node.fd(), {true, 0x85, n}), c.results[i]) << "access " << n;
    }
    EXPECT_EQ(board.value(0x85), c.last_stored);
    EXPECT_EQ(faults.access_count(), c.results.size());
    std::uint64_t failed = 0;
    for (int r : c.results) failed += r != 0;
    EXPECT_EQ(faults.failed_count(), failed);
    EXPECT_EQ(board.write_count(), c.results.size() - failed);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, FaultPlan,
    ::testing::Values(
        FaultCase{"None", {}, {0, 0, 0}, 3},
        FaultCase{"First", {.access = 1, .error = EIO}, {EIO, 0, 0}, 3},
        FaultCase{"ThirdOnly", {.access = 3, .error = EBUSY}, {0, 0, EBUSY, 0}, 4},
        FaultCase{"LastOfRun", {.access = 4, .error = EIO}, {0, 0, 0, EIO}, 3},
        FaultCase{"FromSecondOn",
                  {.access = 2, .error = ENODEV, .persistent = true},
                  {0, ENODEV, ENODEV, ENODEV},
                  1},
        FaultCase{"BeyondTheRun", {.access = 9, .error = EIO, .persistent = true}, {0, 0}, 2}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

TEST(RegisterFaults, ReadsAndWritesCountAlike) {
    RegisterFaults faults(std::make_unique<RegisterFile>(),
                          RegisterFault{.access = 3, .error = ETIMEDOUT});
    InProcessNode node(faults);
    EXPECT_EQ(perform(node.fd(), {true, 0x85, 5}), 0);
    EXPECT_EQ(perform(node.fd(), {false, 0x85, 5}), 0);
    EXPECT_EQ(perform(node.fd(), {false, 0x85, 5}), ETIMEDOUT);
    std::uint32_t got = 0;
    EXPECT_EQ(perform(node.fd(), {false, 0x85, 5}, &got), 0);
    EXPECT_EQ(got, 5u);
}

TEST(RegisterFaults, NewPlanCountsOnFromTheAccessesSoFar) {
    RegisterFile board;
    RegisterFaults faults(board, {});
    InProcessNode node(faults);
    EXPECT_EQ(perform(node.fd(), {true, 0x85, 1}), 0);
    EXPECT_EQ(perform(node.fd(), {true, 0x85, 2}), 0);
    faults.set_fault({.access = 3, .error = EIO});
    EXPECT_EQ(perform(node.fd(), {true, 0x85, 3}), EIO);
    EXPECT_EQ(board.value(0x85), 2u);
}

}  // namespace
}  // namespace tarnvel::sim
