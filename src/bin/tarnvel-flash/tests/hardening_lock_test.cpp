// One board, one program: opening a board's node takes an exclusive lock that lasts until the
// node is closed, and a node that someone else holds is refused like a node that can't be
// opened. Another open description of the node stands in for the second program (flock locks
// belong to open descriptions, so this is the same conflict two processes have).
#include <sys/file.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "device/register_channel.hpp"
#include "hardening_flow.hpp"

namespace tarnvel::testing {
namespace {

std::size_t open_descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Another holder of the node: an open description with an optional lock on it.
class OtherHolder {
  public:
    explicit OtherHolder(const std::string& node) : fd_(::open(node.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~OtherHolder() { ::close(fd_); }
    OtherHolder(const OtherHolder&) = delete;
    OtherHolder& operator=(const OtherHolder&) = delete;

    // Tries the lock without waiting; the errno when it is refused.
    std::optional<int> try_lock(int operation) {
        if (::flock(fd_, operation | LOCK_NB) == 0) return std::nullopt;
        return errno;
    }

  private:
    int fd_;
};

const UpdatedKind kSerialBoard = kUpdatedKinds[1];

struct HeldCase {
    const char* name;
    bool other_open;                // someone else has the node open
    std::optional<int> other_lock;  // and has taken this lock on it
    bool opens;
};

const HeldCase kHeldCases[] = {
    {"NobodyElse", false, std::nullopt, true},
    {"OpenWithoutLock", true, std::nullopt, true},
    {"ExclusiveLock", true, LOCK_EX, false},
    {"SharedLock", true, LOCK_SH, false},
};

class NodeHeldByAnother : public ::testing::TestWithParam<HeldCase> {};

TEST_P(NodeHeldByAnother, DecidesWhetherTheBoardOpens) {
    const HeldCase& c = GetParam();
    const UpdateBench bench(kSerialBoard, image_bytes(16, 1));
    std::optional<OtherHolder> other;
    if (c.other_open) {
        other.emplace(bench.node());
        if (c.other_lock) {
            ASSERT_EQ(other->try_lock(*c.other_lock), std::nullopt);
        }
    }
    const std::size_t descriptors = open_descriptors();
    BoardDevice board = bench.record();
    const Status opened = open_board(board);

    if (c.opens) {
        ASSERT_TRUE(opened) << error_text(opened.error());
        EXPECT_NE(board.fd, -1);
        // The board is ours until it is closed.
        OtherHolder second(bench.node());
        EXPECT_EQ(second.try_lock(LOCK_SH), EWOULDBLOCK);
        board.close();
        EXPECT_EQ(second.try_lock(LOCK_EX), std::nullopt);
    } else {
        ASSERT_FALSE(opened);
        EXPECT_EQ(error_kind_text(opened.error()), "operation would block");
        EXPECT_EQ(board.fd, -1);
        // The refused descriptor is not kept open.
        EXPECT_EQ(open_descriptors(), descriptors);
    }
}

INSTANTIATE_TEST_SUITE_P(Holders, NodeHeldByAnother, ::testing::ValuesIn(kHeldCases),
                         [](const ::testing::TestParamInfo<HeldCase>& param_info) {
                             return std::string(param_info.param.name);
                         });

TEST(BoardLock, ReopeningAnOpenRecordKeepsTheBoardLocked) {
    const UpdateBench bench(kSerialBoard, image_bytes(16, 1));
    BoardDevice board = bench.record();
    ASSERT_TRUE(open_board(board));
    const std::size_t descriptors = open_descriptors();
    // The record's own earlier descriptor must not refuse the new one.
    ASSERT_TRUE(open_board(board));
    EXPECT_EQ(open_descriptors(), descriptors);
    OtherHolder other(bench.node());
    EXPECT_EQ(other.try_lock(LOCK_EX), EWOULDBLOCK);
}

}  // namespace
}  // namespace tarnvel::testing
