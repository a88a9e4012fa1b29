#include "sim/tool/demo_boards.hpp"

namespace tarnvel::sim {

const std::vector<std::string_view>& demo_board_descriptions() {
    // Images are 4 KiB: every register access is an emulated ioctl of 100-200 µs, and a
    // QX410 moves a 256-byte SPI page in about 400 of them. The QX630's image spans two erase
    // blocks, so that the progress line has something to show (about ten seconds).
    static const std::vector<std::string_view> boards = {
        "kind=0",                                  // a device the updater does not know
        "kind=1,version=4.1r27",                   // QX410
        "kind=2,version=5.0r12,archive=equal",     // QX410M2: reports 5.0, is hardware 1.0
        "kind=3,version=5.0r33",                   // QX410BP: the bypass archive form
        "kind=4,version=1.0r8",                    // QX480 with parallel flash
        "kind=5,version=2.0r41",                   // QX480 with serial flash
        "kind=6,version=1.1r15,archive=older",     // QX400
        "kind=7,version=3.0r22",                   // QX610 with parallel flash
        "kind=8,version=1.1r50,image-size=69632",  // QX630
        "kind=9,version=4.0r9,archive=none",       // QX610 with serial flash, chip select 5
        "kind=10,version=3.0r4",                   // QX1800: dynamic firmware loading
    };
    return boards;
}

}  // namespace tarnvel::sim
