#pragma once
// The program's real per-board flow run in-process on a simulated board: the board is opened by
// its node path (a file standing in for the node, with the board's model attached through the
// in-process route), the firmware archive lies in a scratch directory, the operator's answers
// come through a pipe on descriptor 0 and standard output is captured. Callers run the
// program's clock in simulated time, so that its sleeps and time limits cost nothing.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "bin/tarnvel-flash/board_loop.hpp"
#include "bin/tarnvel-flash/update_board_from.hpp"
#include "device/board_device.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/in_process.hpp"
#include "stdout_capture.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel::testing {

using Bytes = std::vector<std::uint8_t>;


// The operator's input: descriptor 0 reads `answers` and then reaches its end, until this goes
// away. The dialogue's input buffer outlives it; a run that reads an answer takes the whole
// pipe content in one read, so nothing carries over into the next run's buffer.
class AnswerFeed {
  public:
    explicit AnswerFeed(std::string_view answers) : saved_(::dup(0)) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        (void)!::write(ends[1], answers.data(), answers.size());
        ::close(ends[1]);
        ::dup2(ends[0], 0);
        ::close(ends[0]);
    }
    ~AnswerFeed() {
        ::dup2(saved_, 0);
        ::close(saved_);
    }
    AnswerFeed(const AnswerFeed&) = delete;
    AnswerFeed& operator=(const AnswerFeed&) = delete;

  private:
    int saved_;
};

// One board kind the program updates, with the model name it prints.
struct UpdatedKind {
    const char* name;
    BoardKind kind;
    const char* model;
    bool parallel;  // 16-bit parallel flash: words bit-mirrored, 128 KiB blocks
};

inline const UpdatedKind kUpdatedKinds[] = {
    {"Qx410Spi", BoardKind::Qx410, "QX410", false},
    {"Qx480Spi", BoardKind::Qx480Spi, "QX480", false},
    {"Qx480Bpi", BoardKind::Qx480Bpi, "QX480", true},
    {"Qx400Bpi", BoardKind::Qx400, "QX400", true},
    {"Qx610Spi", BoardKind::Qx610Spi, "QX610", false},
    {"Qx610Bpi", BoardKind::Qx610Bpi, "QX610", true},
    {"Qx630Spi", BoardKind::Qx630, "QX630", false},
};

inline void PrintTo(const UpdatedKind& kind, std::ostream* os) {
    *os << kind.name;
}

inline std::string kind_test_name(const ::testing::TestParamInfo<UpdatedKind>& info) {
    return info.param.name;
}

inline std::uint32_t block_bytes(const UpdatedKind& kind) {
    return kind.parallel ? 0x20000 : 0x10000;
}

inline std::uint32_t base_address(const UpdatedKind& kind) {
    return board_info(kind.kind).base_address;
}

// The image as the flash holds it: on the parallel flash every 16-bit word with its bits
// mirrored, that is byte pair (b0, b1) stored as (reverse(b1), reverse(b0)).
inline Bytes as_stored(const UpdatedKind& kind, const Bytes& image) {
    if (!kind.parallel) return image;
    auto reverse = [](std::uint8_t b) {
        std::uint8_t r = 0;
        for (int bit = 0; bit < 8; ++bit)
            r = static_cast<std::uint8_t>(r | ((b >> bit) & 1) << (7 - bit));
        return r;
    };
    Bytes stored(image.size());
    for (std::size_t i = 0; i + 1 < image.size(); i += 2) {
        stored[i] = reverse(image[i + 1]);
        stored[i + 1] = reverse(image[i]);
    }
    return stored;
}

inline constexpr std::uint16_t kBoardFirmware = 100;
inline constexpr std::int32_t kImageVersion = 200;

// A board kind's firmware archive in a scratch directory, and a node file for its boards.
class UpdateBench {
  public:
    UpdateBench(const UpdatedKind& kind, Bytes image) : kind_(kind), image_(std::move(image)) {
        const HwVersionEntry& hw = board_info(kind.kind).hw_versions.front();
        hw_major_ = hw.major;
        hw_minor_ = hw.minor;
        node_ = dir_.path() / "tarnvel0";
        const int fd = ::open(node_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
        auto written = sim::write_firmware_archive(
            dir_.path(), kind.kind, hw_major_, hw_minor_,
            {sim::FirmwareEntry{sim::firmware_entry_name(kind.kind, kImageVersion), image_}});
        EXPECT_TRUE(written) << error_text(written.error());
    }

    const UpdatedKind& kind() const { return kind_; }
    const Bytes& image() const { return image_; }
    const std::string& node() const { return node_; }
    std::string firmware_dir() const { return dir_.path(); }
    std::uint32_t block_count() const {
        return static_cast<std::uint32_t>((image_.size() + block_bytes(kind_) - 1) /
                                          block_bytes(kind_));
    }
    // The flash range the image's blocks cover: erased whole, written up to the image's end.
    std::uint32_t begin() const { return base_address(kind_); }
    std::uint32_t end() const { return begin() + block_count() * block_bytes(kind_); }

    // The record discovery makes for a board of this kind at the node.
    BoardDevice record() const {
        BoardDevice board;
        board.syspath = "/sys/devices/pci0000:00/0000:01:00.0/tarnvel/tarnvel0";
        board.devnode = node_;
        board.kind = kind_.kind;
        board.hw_major = hw_major_;
        board.hw_minor = hw_minor_;
        board.fw_version = kBoardFirmware;
        return board;
    }

    // What the program prints up to the progress line, byte for byte, for a board that gets
    // that far.
    std::string until_question() const {
        return device_line() + fmt::format("\tCurrent firmware: {}, \n", kBoardFirmware) +
               fmt::format("\tFirmware available: {}, \n", kImageVersion) +
               "\tUpdate firmware? (y/N): ";
    }
    std::string device_line() const {
        return fmt::format("Device {}: {}v{}.{}\n", node_, kind_.model, hw_major_, hw_minor_);
    }

  private:
    UpdatedKind kind_;
    Bytes image_;
    sim::TempDir dir_;
    std::string node_;
    std::uint8_t hw_major_ = 0;
    std::uint8_t hw_minor_ = 0;
};

struct FlowResult {
    std::string out;
    BoardOutcome outcome;
};

// What the board loop does for one supported board: its announcement, then its update, with
// the given answers typed ahead.
inline FlowResult run_flow(BoardDevice& board, const std::string& firmware_dir,
                           std::string_view answers) {
    AnswerFeed feed(answers);
    testing::StdoutCapture capture;
    const bool supported = announce_board(board);
    EXPECT_TRUE(supported);
    const BoardOutcome outcome = update_board_from(board, firmware_dir);
    return {capture.text(), outcome};
}

inline std::string progress_line(unsigned percent) {
    return fmt::format("\r\tUpdating firmware: {:3}%", percent);
}

inline std::string os_error_text(int code) {
    return fmt::format("{} (os error {})", std::strerror(code), code);
}

inline std::string update_error_line(std::string_view error_text) {
    return fmt::format(
        "\r\t!!! ERROR Updating firmware: {}, DO NOT POWER OFF system and contact support ASAP "
        "!!!\n",
        error_text);
}

inline constexpr std::string_view kDoneLine = "\r\tUpdating firmware done\n";
inline constexpr std::string_view kRetryLine = "\r\tWrite error, retrying...\n";
// The reboot question answered by the end of input.
inline constexpr std::string_view kRebootDeclined =
    "\tReboot device? This can crash systems that doesn't support PCIe hot-plug. (y/N): "
    "\r\tPlease power off and power on system manually to apply update\n";

// `size` bytes that differ from block to block and from the chips' pre-fill.
inline Bytes image_bytes(std::size_t size, std::uint32_t seed) {
    return sim::firmware_bytes(size, seed);
}

}  // namespace tarnvel::testing
