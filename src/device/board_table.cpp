#include "device/board_table.hpp"

namespace tarnvel {
namespace {

constexpr HwVersionEntry kHwNone[] = {{"", 0, 0}};
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

using enum FlashType;
using C = ControllerClass;
using A = ArchiveForm;

constexpr std::array<BoardInfo, kBoardKindCount> kBoards = {{
    {"Unsupported", None, C::None, 0, false, "", A::None, 0, {kHwNone, 0}},
    {"QX410", Spi, C::Qx410, 1, false, "qx410", A::Plain, 0x400000, kHwQx410},
    {"QX410M2", Spi, C::Qx410, 1, false, "qx410m2", A::Plain, 0x400000, kHwQx410M2},
    {"QX410BP", Spi, C::Qx410, 1, false, "qx410", A::Bypass, 0x400000, kHwQx410Bp},
    {"QX480", Bpi, C::Qx480, 0, false, "qx480", A::Plain, 0x1020000, kHwQx480Bpi},
    {"QX480", Spi, C::Qx480, 1, true, "qx480", A::Plain, 0x1000000, kHwQx480Spi},
    {"QX400", Bpi, C::Qx400, 0, false, "qx400", A::Plain, 0x1020000, kHwQx400},
    {"QX610", Bpi, C::Qx610, 0, false, "qx610", A::Plain, 0x1020000, kHwQx610Bpi},
    {"QX630", Spi, C::Qx630, 1, true, "qx630", A::Plain, 0x1000000, kHwQx630},
    {"QX610", Spi, C::Qx610, 5, true, "qx610", A::Plain, 0x1000000, kHwQx610Spi},
    // The QX1800 loads its firmware dynamically and is never programmed.
    {"QX1800", Spi, C::Qx1800, 1, true, "", A::None, 0, kHwQx1800},
}};

// Indexed by (device ID - 0x19).
constexpr std::array<std::uint8_t, 16> kKindByDeviceId = {1, 4, 6, 7, 0, 0, 8, 10,
                                                          1, 5, 2, 3, 9, 5, 8, 1};

}  // namespace

const BoardInfo& board_info(BoardKind kind) {
    auto index = static_cast<unsigned>(kind);
    return kBoards[index < kBoardKindCount ? index : 0];
}

BoardKind board_kind_for_device_id(std::uint16_t device_id) {
    if (device_id < 0x19 || device_id > 0x28) return BoardKind::Unsupported;
    return static_cast<BoardKind>(kKindByDeviceId[device_id - 0x19]);
}

std::pair<std::uint8_t, std::uint8_t> map_hw_version(BoardKind kind, std::string_view hw_part) {
    if (kind == BoardKind::Unsupported || hw_part.size() != 3) return {0, 0};
    for (const auto& entry : board_info(kind).hw_versions) {
        if (entry.text == hw_part) return {entry.major, entry.minor};
    }
    return {0, 0};
}

}  // namespace tarnvel
