#include "sim/model/flash_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace tarnvel::sim {
namespace {

constexpr std::array<char, 8> kMagic{'T', 'V', 'F', 'L', 'A', 'S', 'H', '1'};
constexpr char kPageBytesFollow = 0;
constexpr char kPageOneValue = 1;

constexpr const char* kSpiFile = "spi.flash";
constexpr const char* kParallelFile = "parallel.flash";

void put_u32(std::ostream& out, std::uint32_t value) {
    const std::array<char, 4> bytes{static_cast<char>(value), static_cast<char>(value >> 8),
                                    static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
    out.write(bytes.data(), bytes.size());
}

bool get_u32(std::istream& in, std::uint32_t& value) {
    std::array<unsigned char, 4> bytes{};
    if (!in.read(reinterpret_cast<char*>(bytes.data()), bytes.size())) return false;
    value = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
}

Error damaged(const std::filesystem::path& file, std::string_view why) {
    return Error::message(ErrorKind::InvalidData, file.string() + ": " + std::string(why));
}

bool holds_prefill(const std::uint8_t* page, std::uint32_t base) {
    for (std::uint32_t i = 0; i < FlashStorage::kPageBytes; ++i) {
        if (page[i] != FlashStorage::prefill(base + i)) return false;
    }
    return true;
}

}  // namespace

Status save_flash(const FlashStorage& flash, const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(kMagic.data(), kMagic.size());
    put_u32(out, flash.size());
    for (std::uint32_t base = 0; base < flash.size() && out; base += FlashStorage::kPageBytes) {
        const std::uint8_t* page = flash.page_data(base);
        if (page == nullptr || holds_prefill(page, base)) continue;
        put_u32(out, base >> FlashStorage::kPageShift);
        const bool one_value = std::all_of(page, page + FlashStorage::kPageBytes,
                                           [page](std::uint8_t byte) { return byte == page[0]; });
        if (one_value) {
            out.put(kPageOneValue);
            out.put(static_cast<char>(page[0]));
        } else {
            out.put(kPageBytesFollow);
            out.write(reinterpret_cast<const char*>(page), FlashStorage::kPageBytes);
        }
    }
    out.close();
    if (!out) return std::unexpected(Error::os(EIO));
    return {};
}

Status restore_flash(FlashStorage& flash, const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::unexpected(Error::os(ENOENT));
    std::array<char, 8> magic{};
    std::uint32_t size = 0;
    if (!in.read(magic.data(), magic.size()) || magic != kMagic || !get_u32(in, size)) {
        return std::unexpected(damaged(file, "not a saved flash"));
    }
    if (size != flash.size())
        return std::unexpected(damaged(file, "saved from a chip of another size"));
    flash.reset();
    const Error cut_short = damaged(file, "cut short");
    std::uint32_t page = 0;
    while (get_u32(in, page)) {
        const int kind = in.get();
        if (kind == std::char_traits<char>::eof()) return std::unexpected(cut_short);
        if (page >= size >> FlashStorage::kPageShift ||
            (kind != kPageBytesFollow && kind != kPageOneValue)) {
            return std::unexpected(damaged(file, "a page record out of place"));
        }
        const std::uint32_t base = page << FlashStorage::kPageShift;
        if (kind == kPageOneValue) {
            const int value = in.get();
            if (value == std::char_traits<char>::eof()) return std::unexpected(cut_short);
            flash.fill(base, FlashStorage::kPageBytes, static_cast<std::uint8_t>(value));
        } else if (!in.read(reinterpret_cast<char*>(flash.writable_page(base)),
                            FlashStorage::kPageBytes)) {
            return std::unexpected(cut_short);
        }
    }
    // The end of the file must fall between two records.
    if (in.gcount() != 0) return std::unexpected(cut_short);
    return {};
}

Status save_board_flash(SimBoard& board, const std::filesystem::path& dir) {
    if (SpiNorChip* chip = board.spi_chip()) {
        if (auto saved = save_flash(chip->storage(), dir / kSpiFile); !saved) return saved;
    }
    if (ParallelNorChip* chip = board.parallel_chip()) {
        if (auto saved = save_flash(chip->storage(), dir / kParallelFile); !saved) return saved;
    }
    return {};
}

Status restore_board_flash(SimBoard& board, const std::filesystem::path& dir) {
    for (auto [storage, name] :
         {std::pair{board.spi_chip() ? &board.spi_chip()->storage() : nullptr, kSpiFile},
          std::pair{board.parallel_chip() ? &board.parallel_chip()->storage() : nullptr,
                    kParallelFile}}) {
        std::error_code ec;
        if (storage == nullptr || !std::filesystem::exists(dir / name, ec)) continue;
        if (auto restored = restore_flash(*storage, dir / name); !restored) return restored;
    }
    return {};
}

}  // namespace tarnvel::sim
