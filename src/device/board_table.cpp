#include "device/board_table.hpp"

#include <algorithm>
#include <cstddef>

namespace tarnvel {
namespace {

constexpr HwVersionEntry kHwQx410[] = {
    {"3.0", 3, 0}, {"4.0", 4, 0}, {"4.1", 4, 1}, {"5.0", 5, 0}, {"6.0", 6, 0}};
// The QX410M2 reports "5.0" but is hardware version 1.0: the pair names its archive.
constexpr HwVersionEntry kHwQx410M2[] = {{"5.0", 1, 0}};
constexpr HwVersionEntry kHwQx410Bp[] = {{"5.0", 5, 0}};
constexpr HwVersionEntry kHwQx480Bpi[] = {{"1.0", 1, 0}};
constexpr HwVersionEntry kHwQx480Spi[] = {{"2.0", 2, 0}, {"3.0", 3, 0}};
constexpr HwVersionEntry kHwQx400[] = {{"1.1", 1, 1}};
constexpr HwVersionEntry kHwQx610Bpi[] = {{"3.0", 3, 0}};
constexpr HwVersionEntry kHwQx630[] = {{"1.0", 1, 0}, {"1.1", 1, 1}, {"2.0", 2, 0}};
constexpr HwVersionEntry kHwQx610Spi[] = {{"4.0", 4, 0}};
constexpr HwVersionEntry kHwQx1800[] = {{"3.0", 3, 0}};

constexpr std::size_t row_of(BoardKind kind) {
    return static_cast<std::size_t>(kind);
}

// Each row is filled under its kind's name, so that no row can slip under another kind.
constexpr std::array<BoardInfo, kBoardKindCount> kBoards = [] {
    using enum FlashType;
    using C = ControllerClass;
    using A = ArchiveForm;
    std::array<BoardInfo, kBoardKindCount> rows{};
    rows[row_of(BoardKind::Unsupported)] = {.model_name = "Unsupported"};
    rows[row_of(BoardKind::Qx410)] = {.model_name = "QX410",
                                      .flash = Spi,
                                      .controller = C::Qx410,
                                      .chip_select = 1,
                                      .four_byte_address = false,
                                      .archive_name = "qx410",
                                      .archive_form = A::Plain,
                                      .base_address = 0x400000,
                                      .hw_versions = kHwQx410};
    rows[row_of(BoardKind::Qx410M2)] = {.model_name = "QX410M2",
                                        .flash = Spi,
                                        .controller = C::Qx410,
                                        .chip_select = 1,
                                        .four_byte_address = false,
                                        .archive_name = "qx410m2",
                                        .archive_form = A::Plain,
                                        .base_address = 0x400000,
                                        .hw_versions = kHwQx410M2};
    // The QX410BP's archive is the QX410's name in the bypass form.
    rows[row_of(BoardKind::Qx410Bp)] = {.model_name = "QX410BP",
                                        .flash = Spi,
                                        .controller = C::Qx410,
                                        .chip_select = 1,
                                        .four_byte_address = false,
                                        .archive_name = "qx410",
                                        .archive_form = A::Bypass,
                                        .base_address = 0x400000,
                                        .hw_versions = kHwQx410Bp};
    rows[row_of(BoardKind::Qx480Bpi)] = {.model_name = "QX480",
                                         .flash = Bpi,
                                         .controller = C::Qx480,
                                         .archive_name = "qx480",
                                         .archive_form = A::Plain,
                                         .base_address = 0x1020000,
                                         .hw_versions = kHwQx480Bpi};
    rows[row_of(BoardKind::Qx480Spi)] = {.model_name = "QX480",
                                         .flash = Spi,
                                         .controller = C::Qx480,
                                         .chip_select = 1,
                                         .four_byte_address = true,
                                         .archive_name = "qx480",
                                         .archive_form = A::Plain,
                                         .base_address = 0x1000000,
                                         .hw_versions = kHwQx480Spi};
    rows[row_of(BoardKind::Qx400)] = {.model_name = "QX400",
                                      .flash = Bpi,
                                      .controller = C::Qx400,
                                      .archive_name = "qx400",
                                      .archive_form = A::Plain,
                                      .base_address = 0x1020000,
                                      .hw_versions = kHwQx400};
    rows[row_of(BoardKind::Qx610Bpi)] = {.model_name = "QX610",
                                         .flash = Bpi,
                                         .controller = C::Qx610,
                                         .archive_name = "qx610",
                                         .archive_form = A::Plain,
                                         .base_address = 0x1020000,
                                         .hw_versions = kHwQx610Bpi};
    rows[row_of(BoardKind::Qx630)] = {.model_name = "QX630",
                                      .flash = Spi,
                                      .controller = C::Qx630,
                                      .chip_select = 1,
                                      .four_byte_address = true,
                                      .archive_name = "qx630",
                                      .archive_form = A::Plain,
                                      .base_address = 0x1000000,
                                      .hw_versions = kHwQx630};
    rows[row_of(BoardKind::Qx610Spi)] = {.model_name = "QX610",
                                         .flash = Spi,
                                         .controller = C::Qx610,
                                         .chip_select = 5,
                                         .four_byte_address = true,
                                         .archive_name = "qx610",
                                         .archive_form = A::Plain,
                                         .base_address = 0x1000000,
                                         .hw_versions = kHwQx610Spi};
    // The QX1800 loads its firmware dynamically and is never programmed: no archive.
    rows[row_of(BoardKind::Qx1800)] = {.model_name = "QX1800",
                                       .flash = Spi,
                                       .controller = C::Qx1800,
                                       .chip_select = 1,
                                       .four_byte_address = true,
                                       .hw_versions = kHwQx1800};
    return rows;
}();
static_assert(std::ranges::none_of(kBoards,
                                   [](const BoardInfo& row) { return row.model_name.empty(); }),
              "every kind has its row");

// The PCI device IDs of the boards' parents; any ID outside them is Unsupported.
constexpr std::uint16_t kFirstDeviceId = 0x19;
constexpr std::uint16_t kLastDeviceId = 0x28;

// Indexed by (device ID - kFirstDeviceId).
constexpr std::array<BoardKind, kLastDeviceId - kFirstDeviceId + 1> kKindByDeviceId = {
    BoardKind::Qx410,        // 0x19
    BoardKind::Qx480Bpi,     // 0x1A
    BoardKind::Qx400,        // 0x1B
    BoardKind::Qx610Bpi,     // 0x1C
    BoardKind::Unsupported,  // 0x1D
    BoardKind::Unsupported,  // 0x1E
    BoardKind::Qx630,        // 0x1F
    BoardKind::Qx1800,       // 0x20
    BoardKind::Qx410,        // 0x21
    BoardKind::Qx480Spi,     // 0x22
    BoardKind::Qx410M2,      // 0x23
    BoardKind::Qx410Bp,      // 0x24
    BoardKind::Qx610Spi,     // 0x25
    BoardKind::Qx480Spi,     // 0x26
    BoardKind::Qx630,        // 0x27
    BoardKind::Qx410,        // 0x28
};

}  // namespace

const BoardInfo& board_info(BoardKind kind) {
    auto index = static_cast<unsigned>(kind);
    return kBoards[index < kBoardKindCount ? index : 0];
}

BoardKind board_kind_for_device_id(std::uint16_t device_id) {
    if (device_id < kFirstDeviceId || device_id > kLastDeviceId) return BoardKind::Unsupported;
    return kKindByDeviceId[device_id - kFirstDeviceId];
}

std::optional<std::pair<std::uint8_t, std::uint8_t>> find_hw_version(BoardKind kind,
                                                                     std::string_view hw_part) {
    if (kind == BoardKind::Unsupported || hw_part.size() != 3) return std::nullopt;
    for (const auto& entry : board_info(kind).hw_versions) {
        if (entry.text == hw_part) return std::pair{entry.major, entry.minor};
    }
    return std::nullopt;
}

std::pair<std::uint8_t, std::uint8_t> map_hw_version(BoardKind kind, std::string_view hw_part) {
    return find_hw_version(kind, hw_part).value_or(std::pair<std::uint8_t, std::uint8_t>{0, 0});
}

}  // namespace tarnvel
