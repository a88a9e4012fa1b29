#pragma once
// What every end-to-end test needs: a simulated machine (testbed and firmware directory) per
// test, a way to run the built program in it, and the operator messages the program is
// expected to print, written out from the board family's documentation rather than taken
// from the program's own tables.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/testbed/board_config.hpp"
#include "sim/testbed/described_boards.hpp"
#include "sim/testbed/firmware_dir.hpp"
#include "sim/testbed/run_program.hpp"
#include "sim/testbed/testbed.hpp"

namespace tarnvel::e2e {

// A fresh testbed and an empty firmware directory for each test.
template <class Base = ::testing::Test>
class MachineFixture : public Base {
  protected:
    void SetUp() override {
        auto testbed = sim::Testbed::create();
        ASSERT_TRUE(testbed) << error_text(testbed.error());
        testbed_ = std::move(*testbed);
        auto firmware = sim::FirmwareDir::create();
        ASSERT_TRUE(firmware) << error_text(firmware.error());
        firmware_.emplace(std::move(*firmware));
    }

    sim::Testbed& testbed() { return *testbed_; }
    sim::FirmwareDir& firmware() { return *firmware_; }

    // Adds a board; a failure fails the test.
    std::size_t add(sim::BoardConfig config) {
        auto index = testbed_->add_board(std::move(config));
        EXPECT_TRUE(index) << error_text(index.error());
        return index.value_or(0);
    }

    // Adds a board backed by the kind's simulated hardware (testbed().model_as<sim::SimBoard>);
    // it publishes config.version_after_reboot when its flash first changes.
    std::size_t add_hardware(BoardKind kind, sim::BoardConfig config,
                             std::optional<sim::RegisterFault> fault = std::nullopt) {
        auto index = sim::add_hardware_board(*testbed_, kind, std::move(config), {}, fault);
        EXPECT_TRUE(index) << error_text(index.error());
        return index.value_or(0);
    }

    // Runs any command in the machine; a failure to start it fails the test.
    sim::RunResult run(std::vector<std::string> argv,
                       std::optional<std::string> stdin_bytes = std::nullopt,
                       sim::FirmwareMount mount = sim::FirmwareMount::Auto,
                       std::chrono::milliseconds timeout = sim::kDefaultRunTimeout) {
        sim::RunOptions options;
        options.argv = std::move(argv);
        options.stdin_bytes = std::move(stdin_bytes);
        options.firmware_root = firmware_->path();
        options.firmware_mount = mount;
        options.timeout = timeout;
        auto result = sim::run_program(*testbed_, options);
        EXPECT_TRUE(result) << error_text(result.error());
        return result.value_or(sim::RunResult{});
    }

    // Runs tarnvel-flash; standard input closed unless given.
    sim::RunResult run_flash(std::optional<std::string> stdin_bytes = std::nullopt) {
        return run({TARNVEL_FLASH_BINARY}, std::move(stdin_bytes));
    }

    // The program ended by itself with exit status 0 and printed exactly `expected`.
    void expect_output(const sim::RunResult& result, std::string_view expected) {
        EXPECT_EQ(result.out, expected);
        EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
    }

  private:
    std::unique_ptr<sim::Testbed> testbed_;
    std::optional<sim::FirmwareDir> firmware_;
};

using MachineTest = MachineFixture<>;
template <class Param>
using MachineTestWithParam = MachineFixture<::testing::TestWithParam<Param>>;

// A board behind a PCI parent with the given "device" text, "version" and "software_id".
sim::BoardConfig pci_board(std::optional<std::string> device, std::optional<std::string> version,
                           std::optional<std::string> software_id = "1");

// The printed model name of each board kind 0-10.
std::string_view model_name(unsigned kind);

// Expected messages, byte for byte.
std::string device_line(std::string_view node, unsigned kind, unsigned hw_major, unsigned hw_minor);
std::string unsupported_line(std::string_view node);
std::string current_firmware_line(unsigned fw);
std::string missing_archive_line();
std::string cannot_open_line(std::string_view kind_text);
std::string dynamic_loading_line();
// All a supported board prints when /lib/firmware/tarnvel holds no archive for it.
std::string board_without_archive(std::string_view node, unsigned kind, unsigned hw_major,
                                  unsigned hw_minor, unsigned fw);

}  // namespace tarnvel::e2e
