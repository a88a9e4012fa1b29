#include "harness.hpp"

#include <zip.h>

#include <fmt/format.h>

#include <cstring>

namespace tarnvel::testing {

sim::BoardConfig pci_board(std::optional<std::string> device, std::optional<std::string> version,
                           std::optional<std::string> software_id) {
    sim::BoardConfig config;
    config.parent = sim::PciParent{std::move(device)};
    config.version = std::move(version);
    config.software_id = std::move(software_id);
    return config;
}

std::string_view model_name(unsigned kind) {
    static constexpr std::string_view kNames[] = {
        "Unsupported", "QX410", "QX410M2", "QX410BP", "QX480",  "QX480",
        "QX400",       "QX610", "QX630",   "QX610",   "QX1800",
    };
    return kind < std::size(kNames) ? kNames[kind] : "?";
}

std::string device_line(std::string_view node, unsigned kind, unsigned hw_major,
                        unsigned hw_minor) {
    if (kind == 0) return unsupported_line(node);
    return "Device " + std::string(node) + ": " + std::string(model_name(kind)) + "v" +
           std::to_string(hw_major) + "." + std::to_string(hw_minor) + "\n";
}

std::string unsupported_line(std::string_view node) {
    return "Device " + std::string(node) + ": Unsupported\n";
}

std::string current_firmware_line(unsigned fw) {
    return "\tCurrent firmware: " + std::to_string(fw) + ", \n";
}

std::string missing_archive_line() {
    return "\tCannot find firmware archive: " + std::string(std::strerror(2)) + " (os error 2), \n";
}

std::string cannot_open_line(std::string_view kind_text) {
    return "\tCannot open device - " + std::string(kind_text) + "\n";
}

std::string dynamic_loading_line() {
    return "\tQX1800 uses dynamic firmware loading - no flash update required!\n";
}

std::string board_without_archive(std::string_view node, unsigned kind, unsigned hw_major,
                                  unsigned hw_minor, unsigned fw) {
    std::string text = device_line(node, kind, hw_major, hw_minor);
    if (kind == 0) return text;
    text += current_firmware_line(fw);
    text += kind == 10 ? dynamic_loading_line() : missing_archive_line();
    return text;
}

std::string os_error_text(int error_number) {
    return fmt::format("{} (os error {})", std::strerror(error_number), error_number);
}

std::string archive_reader_text(int zip_error_code) {
    zip_error_t error;
    zip_error_init_with_code(&error, zip_error_code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

std::string archive_error_line(std::string_view error_text) {
    return fmt::format("\tCannot find firmware archive: {}, \n", error_text);
}

std::string firmware_available_line(int version) {
    return fmt::format("\tFirmware available: {}, \n", version);
}

std::string version_remark(int image_version, unsigned fw) {
    const auto board_version = static_cast<std::int64_t>(fw);
    if (image_version == board_version) return "\tNo firmware upgrade required\n";
    if (image_version < board_version)
        return "\tNo firmware upgrade required - firmware is newer\n";
    return "";
}

std::string update_question() {
    return "\tUpdate firmware? (y/N): ";
}

std::string reboot_question() {
    return "\tReboot device? This can crash systems that doesn't support PCIe hot-plug. (y/N): ";
}

std::string progress_line(unsigned percent) {
    return fmt::format("\r\tUpdating firmware: {:3}%", percent);
}

std::string write_retry_line() {
    return "\r\tWrite error, retrying...\n";
}

std::string update_done_line() {
    return "\r\tUpdating firmware done\n";
}

std::string update_error_line(std::string_view error_text) {
    return fmt::format(
        "\r\t!!! ERROR Updating firmware: {}, DO NOT POWER OFF system and contact support ASAP "
        "!!!\n",
        error_text);
}

std::string rebooting_line() {
    return "\r\tRebooting device...\n";
}

std::string firmware_after_reboot_line(unsigned fw) {
    return fmt::format("\tFirmware after reboot: {}, \n", fw);
}

std::string manual_power_cycle_line() {
    return "\r\tPlease power off and power on system manually to apply update\n";
}

std::string reboot_error_line(std::string_view error_text) {
    return fmt::format(
        "\r\tError rebooting board: {}. Please power off and power on system manually to apply "
        "update\n",
        error_text);
}

std::string progress_lines(unsigned blocks, std::vector<unsigned> retries) {
    retries.resize(blocks, 0);
    std::string text;
    for (unsigned i = 0; i < blocks; ++i) {
        const std::string line = progress_line(i * 100u / blocks);
        text += line;
        for (unsigned retry = 0; retry < retries[i]; ++retry) text += write_retry_line() + line;
    }
    return text;
}

std::string board_up_to_question(std::string_view node, unsigned kind, unsigned hw_major,
                                 unsigned hw_minor, unsigned fw, int image_version) {
    return device_line(node, kind, hw_major, hw_minor) + current_firmware_line(fw) +
           firmware_available_line(image_version) + version_remark(image_version, fw) +
           update_question();
}

bool parallel_flash(BoardKind kind) {
    return kind == BoardKind::Qx480Bpi || kind == BoardKind::Qx400 || kind == BoardKind::Qx610Bpi;
}

std::uint32_t firmware_base_address(BoardKind kind) {
    switch (kind) {
        case BoardKind::Qx410:
        case BoardKind::Qx410M2:
        case BoardKind::Qx410Bp: return 0x400000;
        case BoardKind::Qx480Bpi:
        case BoardKind::Qx400:
        case BoardKind::Qx610Bpi: return 0x1020000;
        case BoardKind::Qx480Spi:
        case BoardKind::Qx630:
        case BoardKind::Qx610Spi: return 0x1000000;
        case BoardKind::Unsupported:
        case BoardKind::Qx1800: break;
    }
    ADD_FAILURE() << "kind " << static_cast<unsigned>(kind) << " is never programmed";
    return 0;
}

std::uint32_t erase_block_size(BoardKind kind) {
    // 64 KiB blocks of the serial NOR parts, 128 KiB sectors of the parallel ones.
    return parallel_flash(kind) ? 0x20000 : 0x10000;
}

namespace {

std::uint8_t mirrored(std::uint8_t byte) {
    std::uint8_t result = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if ((byte >> bit) & 1) result |= static_cast<std::uint8_t>(0x80 >> bit);
    }
    return result;
}

}  // namespace

std::vector<std::uint8_t> flash_form(BoardKind kind, const std::vector<std::uint8_t>& image) {
    if (!parallel_flash(kind)) return image;
    std::vector<std::uint8_t> stored(image.size());
    for (std::size_t i = 0; i + 1 < image.size(); i += 2) {
        stored[i] = mirrored(image[i + 1]);
        stored[i + 1] = mirrored(image[i]);
    }
    return stored;
}

sim::FlashStorage& firmware_storage(sim::SimBoard& board) {
    return parallel_flash(board.kind()) ? board.parallel_chip()->storage()
                                        : board.spi_chip()->storage();
}

sim::FlashStorage* other_storage(sim::SimBoard& board) {
    if (parallel_flash(board.kind())) {
        return board.spi_chip() != nullptr ? &board.spi_chip()->storage() : nullptr;
    }
    return board.parallel_chip() != nullptr ? &board.parallel_chip()->storage() : nullptr;
}

namespace {

::testing::AssertionResult unchanged(const sim::FlashStorage& storage, std::string_view which) {
    if (auto changed = storage.first_change_outside(0, 0)) {
        return ::testing::AssertionFailure() << fmt::format(
                   "{} changed at 0x{:x} to 0x{:02x}", which, *changed, storage.read(*changed));
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

::testing::AssertionResult flash_holds_image(sim::SimBoard& board,
                                             const std::vector<std::uint8_t>& image) {
    const BoardKind kind = board.kind();
    const sim::FlashStorage& storage = firmware_storage(board);
    const std::uint32_t base = firmware_base_address(kind);
    const std::uint32_t block = erase_block_size(kind);
    const auto length = static_cast<std::uint32_t>(image.size());
    const std::uint32_t covered = (length + block - 1) / block * block;

    const std::vector<std::uint8_t> expected = flash_form(kind, image);
    if (auto mismatch = storage.first_mismatch(base, expected)) {
        return ::testing::AssertionFailure()
               << fmt::format("flash at 0x{:x} holds 0x{:02x}, the image wants 0x{:02x}", *mismatch,
                              storage.read(*mismatch), expected[*mismatch - base]);
    }
    if (!storage.is_filled(base + length, covered - length, 0xFF)) {
        return ::testing::AssertionFailure()
               << fmt::format("the rest of the erased blocks [0x{:x}, 0x{:x}) is not all 0xFF",
                              base + length, base + covered);
    }
    if (auto changed = storage.first_change_outside(base, base + covered)) {
        return ::testing::AssertionFailure()
               << fmt::format("flash at 0x{:x}, outside the erased blocks, changed to 0x{:02x}",
                              *changed, storage.read(*changed));
    }
    if (const sim::FlashStorage* other = other_storage(board))
        return unchanged(*other, "other chip");
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult flash_untouched(sim::SimBoard& board) {
    if (auto result = unchanged(firmware_storage(board), "firmware flash"); !result) return result;
    if (const sim::FlashStorage* other = other_storage(board))
        return unchanged(*other, "other chip");
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult no_violations(const sim::SimBoard& board) {
    if (board.violations().empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << board.violations().summary();
}

}  // namespace tarnvel::testing
