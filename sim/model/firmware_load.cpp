#include "sim/model/firmware_load.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "flash/word_mirror.hpp"

namespace tarnvel::sim {
namespace {

// The longest of `images` that the flash holds in full: an image that is the start of a
// longer one is held too when the longer one is.
const KnownImage* longest_held(const FlashStorage& flash, BoardKind kind,
                               std::span<const KnownImage> images) {
    const KnownImage* found = nullptr;
    for (const KnownImage& image : images) {
        if (image.data.empty()) continue;
        if (found != nullptr && found->data.size() >= image.data.size()) continue;
        if (flash_holds(flash, kind, image.data)) found = &image;
    }
    return found;
}

std::string reported_version(const KnownImage& image, std::string_view hardware) {
    if (image.version) return *image.version;
    return fmt::format("{}r{}", hardware, image.firmware);
}

}  // namespace

std::string_view hardware_part(std::string_view version) {
    return version.substr(0, version.find('r'));
}

std::string default_factory_version(std::string_view version) {
    return fmt::format("{}r0", hardware_part(version));
}

bool flash_holds(const FlashStorage& flash, BoardKind kind, std::span<const std::uint8_t> image) {
    const BoardInfo& info = board_info(kind);
    if (info.flash != FlashType::Bpi) {
        return !flash.first_mismatch(info.base_address, image).has_value();
    }
    // The parallel flash is written in whole words only.
    if (image.size() % 2 != 0) return false;
    std::vector<std::uint8_t> stored;
    mirror_words(image, stored);
    return !flash.first_mismatch(info.base_address, stored).has_value();
}

LoadedFirmware load_firmware(const FlashStorage* flash, BoardKind kind, const FirmwareSetup& setup,
                             const std::optional<std::string>& running,
                             std::span<const KnownImage> catalogue) {
    if (flash == nullptr) return {LoadSource::Unchanged, running};
    // A board without a "version" attribute reports none whatever it starts.
    const auto reported = [&setup](std::string text) -> std::optional<std::string> {
        if (!setup.shipped_version) return std::nullopt;
        return text;
    };
    const std::string shipped = setup.shipped_version.value_or("");
    const std::string_view hardware = hardware_part(shipped);
    const KnownImage* image = longest_held(*flash, kind, setup.images);
    if (image == nullptr) image = longest_held(*flash, kind, catalogue);
    if (image != nullptr &&
        std::ranges::find(setup.unbootable, image->firmware) != setup.unbootable.end()) {
        if (setup.factory_version) return {LoadSource::Factory, reported(*setup.factory_version)};
        return {LoadSource::Nothing, std::nullopt};
    }
    if (image != nullptr) return {LoadSource::Image, reported(reported_version(*image, hardware))};

    const std::uint32_t base = board_info(kind).base_address;
    bool shipped_intact = std::uint64_t{base} + kShippedImageBytes <= flash->size();
    for (std::uint32_t i = 0; shipped_intact && i < kShippedImageBytes; ++i) {
        shipped_intact = flash->read(base + i) == FlashStorage::prefill(base + i);
    }
    if (shipped_intact) return {LoadSource::Shipped, setup.shipped_version};
    if (setup.factory_version) return {LoadSource::Factory, reported(*setup.factory_version)};
    return {LoadSource::Nothing, std::nullopt};
}

}  // namespace tarnvel::sim
