// Register traffic of the parallel-flash bus and the views the controllers hand out.

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <vector>

#include "controller/controllers.hpp"
#include "scripted_registers.hpp"

namespace tarnvel {
namespace {

using testing::Access;
using testing::rd;
using testing::ScriptedBoard;
using testing::wr;

struct BusRegisters {
    ControllerClass controller;
    std::uint32_t cmd;
    std::uint32_t data;
};

constexpr BusRegisters kBuses[] = {{ControllerClass::Qx480, 0xC7, 0xC8},
                                   {ControllerClass::Qx400, 0x87, 0x88},
                                   {ControllerClass::Qx610, 0x87, 0x88}};

struct BusCase {
    const char* name;
    // Scripts the reads, runs the operation and checks its result.
    std::function<void(testing::ScriptedRegisters&, BpiBus&, const BusRegisters&)> run;
    std::function<std::vector<Access>(std::uint32_t cmd, std::uint32_t data)> traffic;
};

const BusCase kCases[] = {
    {"set_control masks the address, not the flags",
     [](auto&, BpiBus& bus, auto&) { ASSERT_TRUE(bus.set_control(0x12345678, 1, 1)); },
     [](auto cmd, auto) { return std::vector{wr(cmd, 0x05345678)}; }},
    {"set_control(0, 0, 0) releases the bus",
     [](auto&, BpiBus& bus, auto&) { ASSERT_TRUE(bus.set_control(0, 0, 0)); },
     [](auto cmd, auto) { return std::vector{wr(cmd, 0)}; }},
    {"write_data", [](auto&, BpiBus& bus, auto&) { ASSERT_TRUE(bus.write_data(0xBEEF)); },
     [](auto, auto data) { return std::vector{wr(data, 0xBEEF)}; }},
    {"read_data takes bits 0-15",
     [](auto& regs, BpiBus& bus, auto& r) {
         regs.queue_reads(r.data, {0xDEAD1234});
         EXPECT_EQ(bus.read_data(), 0x1234);
     },
     [](auto, auto data) { return std::vector{rd(data, 0xDEAD1234)}; }},
    {"is_busy is CMD bit 27",
     [](auto& regs, BpiBus& bus, auto& r) {
         regs.queue_reads(r.cmd, {0x08000000, 0xF7FFFFFF});
         EXPECT_EQ(bus.is_busy(), true);
         EXPECT_EQ(bus.is_busy(), false);
     },
     [](auto cmd, auto) {
         return std::vector{rd(cmd, 0x08000000), rd(cmd, 0xF7FFFFFF)};
     }},
    {"write_word",
     [](auto&, BpiBus& bus, auto&) { ASSERT_TRUE(bus.write_word(0xAB810555, 0x00AA)); },
     [](auto cmd, auto data) {
         return std::vector{wr(cmd, 0x04810555), wr(data, 0xAA)};
     }},
    {"write_words",
     [](auto&, BpiBus& bus, auto&) {
         const std::vector<std::uint16_t> words{0x1234, 0x5678, 0x9ABC};
         ASSERT_TRUE(bus.write_words(0x810100, words));
     },
     [](auto cmd, auto data) {
         return std::vector{wr(cmd, 0x05810100), wr(data, 0x1234), wr(data, 0x5678),
                            wr(data, 0x9ABC)};
     }},
    {"write_words of nothing sets CMD only",
     [](auto&, BpiBus& bus, auto&) { ASSERT_TRUE(bus.write_words(0x10, {})); },
     [](auto cmd, auto) { return std::vector{wr(cmd, 0x05000010)}; }},
    {"read_word",
     [](auto& regs, BpiBus& bus, auto& r) {
         regs.queue_reads(r.data, {0x10002222});
         EXPECT_EQ(bus.read_word(0x810000), 0x2222);
     },
     [](auto cmd, auto data) {
         return std::vector{wr(cmd, 0x04810000), rd(data, 0x10002222)};
     }},
    {"read_words",
     [](auto& regs, BpiBus& bus, auto& r) {
         regs.queue_reads(r.data, {0x0001, 0xF0002});
         std::vector<std::uint16_t> words(2);
         ASSERT_TRUE(bus.read_words(0x810080, words));
         EXPECT_EQ(words, (std::vector<std::uint16_t>{0x0001, 0x0002}));
     },
     [](auto cmd, auto data) {
         return std::vector{wr(cmd, 0x05810080), rd(data, 0x0001), rd(data, 0xF0002)};
     }},
    {"read_words of nothing sets CMD only",
     [](auto&, BpiBus& bus, auto&) { ASSERT_TRUE(bus.read_words(0x20, {})); },
     [](auto cmd, auto) { return std::vector{wr(cmd, 0x05000020)}; }},
    {"reset: six word cycles, then CMD 0",
     [](auto&, BpiBus& bus, auto&) { ASSERT_TRUE(bus.reset()); },
     [](auto cmd, auto data) {
         std::vector<Access> traffic;
         constexpr std::pair<std::uint32_t, std::uint32_t> kCycles[] = {
             {0x555, 0xF0}, {0x555, 0xF0}, {0x555, 0xAA},
             {0x2AA, 0x55}, {0x555, 0xF0}, {0x555, 0xF0}};
         for (auto [address, value] : kCycles) {
             traffic.push_back(wr(cmd, 0x04000000 | address));
             traffic.push_back(wr(data, value));
         }
         traffic.push_back(wr(cmd, 0));
         return traffic;
     }},
};

TEST(BpiBusTraffic, EveryOperationOnEveryClass) {
    for (const BusRegisters& bus_registers : kBuses) {
        for (const BusCase& c : kCases) {
            SCOPED_TRACE(::testing::Message()
                         << c.name << " on CMD 0x" << std::hex << bus_registers.cmd);
            ScriptedBoard board;
            auto controller = make_controller(bus_registers.controller, board.fd());
            c.run(board.regs, *controller->bpi_bus(), bus_registers);
            EXPECT_EQ(board.regs.log(), c.traffic(bus_registers.cmd, bus_registers.data));
        }
    }
}

TEST(BpiBusTraffic, FailedAccessEndsTheOperation) {
    ScriptedBoard board;
    board.regs.fail_access(2, EIO);
    Qx400Controller controller(board.fd());
    const std::vector<std::uint16_t> words{1, 2, 3};

    auto result = controller.write_words(0x100, words);

    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::os(EIO));
    EXPECT_EQ(board.regs.log(), (std::vector{wr(0x87, 0x05000100), wr(0x88, 1)}));
}

struct ViewCase {
    ControllerClass controller;
    bool has_spi;
    bool has_bpi;
};

// Every view is the controller itself, seen through one of its interfaces.
TEST(ControllerViews, EachClassHandsOutItsOwnBuses) {
    constexpr ViewCase kViews[] = {
        {ControllerClass::Qx410, true, false}, {ControllerClass::Qx480, true, true},
        {ControllerClass::Qx400, false, true}, {ControllerClass::Qx610, true, true},
        {ControllerClass::Qx630, true, false}, {ControllerClass::Qx1800, true, false}};
    for (const ViewCase& v : kViews) {
        SCOPED_TRACE(static_cast<int>(v.controller));
        auto controller = make_controller(v.controller, 42);
        ASSERT_TRUE(controller);
        EXPECT_EQ(controller->channel().fd(), 42);
        EXPECT_EQ(dynamic_cast<FlashController*>(&controller->channel()), controller.get());
        SpiBus* spi = controller->spi_bus();
        BpiBus* bpi = controller->bpi_bus();
        EXPECT_EQ(spi != nullptr, v.has_spi);
        EXPECT_EQ(bpi != nullptr, v.has_bpi);
        if (spi) {
            EXPECT_EQ(dynamic_cast<FlashController*>(spi), controller.get());
        }
        if (bpi) {
            EXPECT_EQ(dynamic_cast<FlashController*>(bpi), controller.get());
            EXPECT_EQ(bpi->fd(), 42);
        }
    }
    EXPECT_FALSE(make_controller(ControllerClass::None, 42));
}

}  // namespace
}  // namespace tarnvel
