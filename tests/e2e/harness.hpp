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

#include "sim/model/register_faults.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/testbed/board_config.hpp"
#include "sim/testbed/described_boards.hpp"
#include "sim/testbed/firmware_dir.hpp"
#include "sim/testbed/run_program.hpp"
#include "sim/support/temp_dir.hpp"
#include "sim/testbed/testbed.hpp"

namespace tarnvel::testing {

// A fresh testbed and an empty firmware directory, whose images the boards know, for each
// test.
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
        testbed_->set_firmware_archives(firmware_->archive_dir());
    }

    sim::Testbed& testbed() { return *testbed_; }
    sim::FirmwareDir& firmware() { return *firmware_; }
    // The machine's state directory (TARNVEL_STATE_DIR), shared by every run of the test.
    std::filesystem::path state_dir() const { return testbed_->state_dir(); }

    // Adds a board; a failure fails the test.
    std::size_t add(sim::BoardConfig config) {
        auto index = testbed_->add_board(std::move(config));
        EXPECT_TRUE(index) << error_text(index.error());
        return index.value_or(0);
    }

    // Adds a board backed by the kind's simulated hardware (testbed().model_as<sim::SimBoard>).
    // Rebooted, it starts what its flash holds: an image of the test's archives, the image it
    // was made with, or its factory image.
    std::size_t add_hardware(BoardKind kind, sim::BoardConfig config,
                             std::optional<sim::RegisterFault> fault = std::nullopt) {
        auto index = sim::add_hardware_board(*testbed_, kind, std::move(config), {}, fault);
        EXPECT_TRUE(index) << error_text(index.error());
        return index.value_or(0);
    }

    // The simulated hardware of a board added with add_hardware, also behind its fault
    // wrapper. Only while no program runs.
    sim::SimBoard& hardware(std::size_t board) {
        sim::RegisterModel* model = &testbed_->model(board);
        if (auto* faults = dynamic_cast<sim::RegisterFaults*>(model)) model = &faults->inner();
        auto* hardware = dynamic_cast<sim::SimBoard*>(model);
        EXPECT_NE(hardware, nullptr) << "board " << board << " has no simulated hardware";
        return *hardware;
    }
    // The fault wrapper of a board added with a fault; null without one.
    sim::RegisterFaults* faults(std::size_t board) {
        return testbed_->model_as<sim::RegisterFaults>(board);
    }

    // Runs any command in the machine; a failure to start it fails the test.
    sim::RunResult run(std::vector<std::string> argv,
                       std::optional<std::string> stdin_bytes = std::nullopt,
                       sim::FirmwareMount mount = sim::FirmwareMount::Auto,
                       std::chrono::milliseconds timeout = sim::kDefaultRunTimeout) {
        sim::RunOptions options;
        options.argv = std::move(argv);
        options.stdin_bytes = std::move(stdin_bytes);
        options.firmware_mount = mount;
        options.timeout = timeout;
        return run_with(std::move(options));
    }
    // Runs any command with standard input read from the file `input` (/dev/zero: a line that
    // never ends).
    sim::RunResult run_reading(std::vector<std::string> argv, const std::filesystem::path& input) {
        sim::RunOptions options;
        options.argv = std::move(argv);
        options.stdin_file = input;
        return run_with(std::move(options));
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
    sim::RunResult run_with(sim::RunOptions options) {
        options.firmware_root = firmware_->path();
        auto result = sim::run_program(*testbed_, options);
        EXPECT_TRUE(result) << error_text(result.error());
        return result.value_or(sim::RunResult{});
    }

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

// The C library's text for an error number followed by " (os error N)".
std::string os_error_text(int error_number);
// The archive reader's own message for one of its error codes (ZIP_ER_*).
std::string archive_reader_text(int zip_error_code);

// Expected messages of the update itself, byte for byte.
std::string archive_error_line(std::string_view error_text);
std::string firmware_available_line(int version);
// The remark after "Firmware available" for an image of `image_version` on a board running
// `fw`: none for a newer image.
std::string version_remark(int image_version, unsigned fw);
// The questions, as the operator sees them before answering.
std::string update_question();
std::string reboot_question();
std::string progress_line(unsigned percent);
std::string write_retry_line();
std::string update_done_line();
std::string update_error_line(std::string_view error_text);
std::string rebooting_line();
std::string firmware_after_reboot_line(unsigned fw);
std::string manual_power_cycle_line();
std::string reboot_error_line(std::string_view error_text);

// The progress of programming `blocks` blocks: each block's progress line, and for block i
// retries[i] retry lines each followed by the same progress line again. A block with five
// retries and still a mismatch prints exactly this too, before the error line.
std::string progress_lines(unsigned blocks, std::vector<unsigned> retries = {});
// All a board prints from its announcement to the update question, for an image found in
// its archive.
std::string board_up_to_question(std::string_view node, unsigned kind, unsigned hw_major,
                                 unsigned hw_minor, unsigned fw, int image_version);

// Where a kind's firmware lives, from the board family's documentation: the flash type, the
// image's base address in that flash and the erase block the image is written in.
bool parallel_flash(BoardKind kind);
std::uint32_t firmware_base_address(BoardKind kind);
std::uint32_t erase_block_size(BoardKind kind);
// The bytes a kind's flash holds once `image` is written: the image itself, or on the 16-bit
// parallel flash every byte pair (b0, b1) stored as (reverse(b1), reverse(b0)), each byte's
// bits mirrored.
std::vector<std::uint8_t> flash_form(BoardKind kind, const std::vector<std::uint8_t>& image);
// The flash the kind's firmware lives in, and the board's other chip (null on a board with
// one chip).
sim::FlashStorage& firmware_storage(sim::SimBoard& board);
sim::FlashStorage* other_storage(sim::SimBoard& board);

// The kind's flash holds `image` at its base address, the rest of the erase blocks it covers
// is erased, every other byte of both chips still holds the shipped pattern.
::testing::AssertionResult flash_holds_image(sim::SimBoard& board,
                                             const std::vector<std::uint8_t>& image);
// Not a byte of either chip differs from the shipped pattern.
::testing::AssertionResult flash_untouched(sim::SimBoard& board);
// The board saw nothing a real one would refuse or carry out otherwise.
::testing::AssertionResult no_violations(const sim::SimBoard& board);

}  // namespace tarnvel::testing
