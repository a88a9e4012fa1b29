// What a failed register request gives its caller: the driver's error number, whatever it is.

#include "device/register_channel.hpp"

#include <gtest/gtest.h>

#include "scripted_registers.hpp"

namespace tarnvel {
namespace {

struct ErrnoCase {
    int driver_errno;
    std::int32_t code;
};

class ChannelErrorNumber : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(ChannelErrorNumber, ReadAndWriteCarryTheDriversNumber) {
    testing::ScriptedBoard board;
    board.regs.fail_access(0, GetParam().driver_errno);
    auto read = register_read(board.fd(), 0x85);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), ChannelError{GetParam().code});

    board.regs.fail_access(1, GetParam().driver_errno);
    auto written = register_write(board.fd(), 0x85, 1);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), ChannelError{GetParam().code});
    EXPECT_TRUE(board.regs.log().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ChannelErrorNumber,
    ::testing::Values(ErrnoCase{25, 25}, ErrnoCase{1, 1}, ErrnoCase{133, 133},
                      // Numbers Linux leaves unassigned, and beyond its last one.
                      ErrnoCase{41, 41}, ErrnoCase{58, 58}, ErrnoCase{134, 134},
                      ErrnoCase{200, 200}, ErrnoCase{512, 512}));

TEST(ChannelErrorNumber, NoErrnoIsZero) {
    EXPECT_EQ(channel_error_from_errno(0), ChannelError{0});
}

}  // namespace
}  // namespace tarnvel
