// The owner of a board opened for flashing closes it once: where its scope ends, or where the
// owner it was handed on to closes it, never while another owner still holds it; released, it
// leaves the board open to its record.

#include <fcntl.h>

#include <gtest/gtest.h>

#include <functional>

#include "update/board_access.hpp"

namespace tarnvel::testing {
namespace {

struct HandingCase {
    const char* what;
    // Runs on boards `a` and `b`, both open.
    std::function<void(BoardDevice& a, BoardDevice& b)> hand_on;
    bool a_open_after;
    bool b_open_after;
};

const HandingCase kHandings[] = {
    {"its scope ends", [](BoardDevice& a, BoardDevice&) { const OpenBoard owner(a); }, false, true},
    {"closed early, then its scope ends",
     [](BoardDevice& a, BoardDevice&) {
         OpenBoard owner(a);
         owner.close();
         EXPECT_FALSE(owner);
     },
     false, true},
    {"moved on: open while the new owner holds it",
     [](BoardDevice& a, BoardDevice&) {
         OpenBoard kept;
         {
             OpenBoard first(a);
             kept = std::move(first);
         }
         EXPECT_NE(a.fd, -1);
         EXPECT_EQ(&*kept, &a);
     },
     false, true},
    {"an owner given another board closes its own",
     [](BoardDevice& a, BoardDevice& b) {
         OpenBoard owner(a);
         owner = OpenBoard(b);
         EXPECT_EQ(a.fd, -1);
         (void)owner.release();
     },
     false, true},
    {"released: left open", [](BoardDevice& a, BoardDevice&) { (void)OpenBoard(a).release(); },
     true, true},
};

TEST(OpenBoardTest, ClosesItsBoardOnceWheneverItIsHandedOn) {
    for (const HandingCase& handing : kHandings) {
        SCOPED_TRACE(handing.what);
        BoardDevice a;
        BoardDevice b;
        a.fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        b.fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_NE(a.fd, -1);
        ASSERT_NE(b.fd, -1);
        handing.hand_on(a, b);
        EXPECT_EQ(a.fd != -1, handing.a_open_after);
        EXPECT_EQ(b.fd != -1, handing.b_open_after);
    }
}

}  // namespace
}  // namespace tarnvel::testing
