#include "sim/model/flash_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <span>
#include <string>
#include <system_error>

#include "base/atomic_file.hpp"

namespace tarnvel::sim {
namespace {

constexpr std::array<char, 8> kMagic{'T', 'V', 'F', 'L', 'A', 'S', 'H', '1'};
constexpr char kPageBytesFollow = 0;
constexpr char kPageOneValue = 1;

constexpr const char* kSpiFile = "spi.flash";
constexpr const char* kParallelFile = "parallel.flash";
// Pages are gathered up to this much before they are written.
constexpr std::size_t kFlushBytes = 1 << 20;

void put_u32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
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

// The file is replaced whole, never rewritten in place: a run killed while it saves leaves
// the old file.
Status save_flash(const FlashStorage& flash, const std::filesystem::path& file) {
    auto saved = AtomicFile::create(file, true);
    if (!saved) return std::unexpected(saved.error());
    std::string out(kMagic.data(), kMagic.size());
    put_u32(out, flash.size());
    const auto flush = [&saved, &out]() -> Status {
        auto written =
            saved->write(std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()));
        out.clear();
        return written;
    };
    for (std::uint32_t base = 0; base < flash.size(); base += FlashStorage::kPageBytes) {
        const std::uint8_t* page = flash.page_data(base);
        if (page == nullptr || holds_prefill(page, base)) continue;
        put_u32(out, base >> FlashStorage::kPageShift);
        const bool one_value = std::all_of(page, page + FlashStorage::kPageBytes,
                                           [page](std::uint8_t byte) { return byte == page[0]; });
        if (one_value) {
            out.push_back(kPageOneValue);
            out.push_back(static_cast<char>(page[0]));
        } else {
            out.push_back(kPageBytesFollow);
            out.append(reinterpret_cast<const char*>(page), FlashStorage::kPageBytes);
        }
        if (out.size() >= kFlushBytes) {
            if (auto written = flush(); !written) return written;
        }
    }
    if (auto written = flush(); !written) return written;
    return saved->commit();
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
