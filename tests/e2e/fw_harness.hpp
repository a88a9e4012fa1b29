#pragma once
// What the end-to-end tests of tarnvel-fw share: boards on simulated hardware with archives
// for them, runs of the program, and its JSON results parsed (never compared as text).

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness.hpp"

namespace tarnvel::testing {

using Json = nlohmann::json;

inline constexpr int kExitBoardFailed = 1;
inline constexpr int kExitUsage = 2;

template <class Base = ::testing::Test>
class FwFixture : public MachineFixture<Base> {
  protected:
    // A board of `kind` on simulated hardware, running firmware `fw`, with the first hardware
    // version of its kind. With `image_version`, its archive holds an image of that version
    // and `image_size` bytes (answered), which the board starts once its flash holds it.
    std::vector<std::uint8_t> add_board(BoardKind kind, std::uint16_t fw,
                                        std::optional<std::int32_t> image_version,
                                        std::size_t image_size = 2048,
                                        std::optional<sim::RegisterFault> fault = std::nullopt) {
        this->add_hardware(kind, sim::BoardConfig::of_kind(kind, fw), fault);
        if (!image_version) return {};
        std::vector<std::uint8_t> image = sim::firmware_bytes(
            image_size, static_cast<std::uint32_t>(kind) * 1000 + *image_version);
        const HwVersionEntry& hw = board_info(kind).hw_versions.front();
        EXPECT_TRUE(
            this->firmware().add_board_image(kind, hw.major, hw.minor, *image_version, image));
        return image;
    }

    // Runs tarnvel-fw with `args`; standard input closed unless given.
    sim::RunResult fw(std::vector<std::string> args,
                      std::optional<std::string> stdin_bytes = std::nullopt) {
        args.insert(args.begin(), TARNVEL_FW_BINARY);
        return this->run(std::move(args), std::move(stdin_bytes));
    }

    // Runs tarnvel-fw with `args`, standard input read from the file `input`.
    sim::RunResult fw_reading(std::vector<std::string> args, const std::filesystem::path& input) {
        args.insert(args.begin(), TARNVEL_FW_BINARY);
        return this->run_reading(std::move(args), input);
    }

    // A file in the test's own scratch directory (beside the firmware directory's content).
    std::string scratch_file(std::string_view name) {
        return (this->firmware().path() / name).string();
    }
};

using FwTest = FwFixture<>;
template <class Param>
using FwTestWithParam = FwFixture<::testing::TestWithParam<Param>>;

// Standard output parsed as one JSON document; a test failure (and null) when it is not one.
Json parse_json(const sim::RunResult& result);
// The object of `document["boards"]` (or of the array itself) whose "node" is `node`.
Json board_entry(const Json& document, std::string_view node);

// The bytes the image region of the board's firmware flash holds, in image byte order.
std::vector<std::uint8_t> image_region(sim::SimBoard& board, std::size_t length);

}  // namespace tarnvel::testing
