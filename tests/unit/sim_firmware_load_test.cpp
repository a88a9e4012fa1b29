// What a simulated board starts when it loads its firmware, by what its flash holds at the
// kind's base address.
#include "sim/model/firmware_load.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include "flash/word_mirror.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/model/sim_board.hpp"

namespace tarnvel::sim {
namespace {

// What the test puts into the image region before the board starts.
enum class Region : std::uint8_t {
    Untouched,      // the pre-fill: the image the board was made with
    Image,          // the 1 KiB image, in the kind's stored form
    LongerImage,    // a 2 KiB image that starts with the 1 KiB one
    ImageAsIs,      // the image's bytes not mirrored (wrong on the parallel flash)
    ImageCutShort,  // its first half, the rest erased: an update that stopped part-way
    Erased,
    ShippedCutShort,  // the pre-fill with one byte programmed in its last 16
};

struct LoadCase {
    const char* name;
    BoardKind kind;
    Region region;
    bool own_image;  // the board knows the image's bytes with a version of its own
    std::optional<std::string> shipped = "2.0r7";
    std::optional<std::string> factory = "2.0r0";
    LoadSource source;
    std::optional<std::string> version;
};

void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<std::uint8_t>& image() {
    static const std::vector<std::uint8_t> bytes = firmware_bytes(1024, 77);
    return bytes;
}

const std::vector<std::uint8_t>& longer_image() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> longer = image();
        longer.resize(2048, 0x5A);
        return longer;
    }();
    return bytes;
}

void prepare(FlashStorage& flash, BoardKind kind, Region region) {
    const std::uint32_t base = board_info(kind).base_address;
    const auto& bytes = region == Region::LongerImage ? longer_image() : image();
    std::vector<std::uint8_t> stored = bytes;
    if (board_info(kind).flash == FlashType::Bpi && region != Region::ImageAsIs) {
        mirror_words(bytes, stored);
    }
    switch (region) {
        case Region::Untouched: break;
        case Region::Image:
        case Region::LongerImage:
        case Region::ImageAsIs: flash.load(base, stored); break;
        case Region::ImageCutShort:
            flash.fill(base, 0x10000, 0xFF);
            flash.load(base, std::span(stored).first(stored.size() / 2));
            break;
        case Region::Erased: flash.fill(base, 0x10000, 0xFF); break;
        case Region::ShippedCutShort: flash.write(base + kShippedImageBytes - 3, 0); break;
    }
}

class FirmwareLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(FirmwareLoad, StartsWhatTheImageRegionHolds) {
    const LoadCase& c = GetParam();
    auto board = make_board_model(c.kind);
    prepare(*board->firmware_flash(), c.kind, c.region);
    FirmwareSetup setup{.shipped_version = c.shipped, .factory_version = c.factory, .images = {}};
    if (c.own_image) setup.images.push_back({image(), 0, "2.0r-own"});
    const std::vector<KnownImage> catalogue{{longer_image(), 12}, {image(), 9}};

    const LoadedFirmware loaded =
        load_firmware(board->firmware_flash(), c.kind, setup, "2.0r5", catalogue);
    EXPECT_EQ(loaded.source, c.source);
    EXPECT_EQ(loaded.version, c.version);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, FirmwareLoad,
    ::testing::Values(
        LoadCase{"Shipped", BoardKind::Qx480Spi, Region::Untouched, false, "2.0r7", "2.0r0",
                 LoadSource::Shipped, "2.0r7"},
        LoadCase{"ShippedCutShort", BoardKind::Qx480Spi, Region::ShippedCutShort, false, "2.0r7",
                 "2.0r0", LoadSource::Factory, "2.0r0"},
        // The hardware part stays the board's own.
        LoadCase{"ArchiveImage", BoardKind::Qx480Spi, Region::Image, false, "2.0r7", "2.0r0",
                 LoadSource::Image, "2.0r9"},
        // Both are held: the longer one is what was written.
        LoadCase{"LongerArchiveImage", BoardKind::Qx480Spi, Region::LongerImage, false, "2.0r7",
                 "2.0r0", LoadSource::Image, "2.0r12"},
        LoadCase{"OwnImageFirst", BoardKind::Qx480Spi, Region::Image, true, "2.0r7", "2.0r0",
                 LoadSource::Image, "2.0r-own"},
        LoadCase{"ParallelImage", BoardKind::Qx400, Region::Image, false, "1.1r7", "1.1r0",
                 LoadSource::Image, "1.1r9"},
        LoadCase{"ParallelImageNotMirrored", BoardKind::Qx400, Region::ImageAsIs, false, "1.1r7",
                 "1.1r0", LoadSource::Factory, "1.1r0"},
        LoadCase{"CutShort", BoardKind::Qx610Bpi, Region::ImageCutShort, false, "3.0r7", "3.0r3",
                 LoadSource::Factory, "3.0r3"},
        LoadCase{"ErasedWithoutFactoryImage", BoardKind::Qx410, Region::Erased, false, "4.1r7",
                 std::nullopt, LoadSource::Nothing, std::nullopt},
        // Without a "version" attribute it still starts (or fails to start) the same way.
        LoadCase{"NoVersionAttribute", BoardKind::Qx630, Region::Image, false, std::nullopt,
                 "1.0r0", LoadSource::Image, std::nullopt},
        LoadCase{"NoVersionAttributeNothingToStart", BoardKind::Qx630, Region::Erased, false,
                 std::nullopt, std::nullopt, LoadSource::Nothing, std::nullopt}),
    [](const ::testing::TestParamInfo<LoadCase>& param) { return std::string(param.param.name); });

TEST(FirmwareLoad, BoardWithoutFirmwareFlashRestartsWhatItRan) {
    const LoadedFirmware loaded = load_firmware(nullptr, BoardKind::Qx1800, {}, "3.0r5", {});
    EXPECT_EQ(loaded.source, LoadSource::Unchanged);
    EXPECT_EQ(loaded.version, "3.0r5");
}

TEST(FirmwareLoad, DefaultFactoryVersionIsTheHardwarePartWithFirmwareZero) {
    EXPECT_EQ(default_factory_version("4.1r123"), "4.1r0");
    EXPECT_EQ(default_factory_version("5.0"), "5.0r0");
}

}  // namespace
}  // namespace tarnvel::sim
