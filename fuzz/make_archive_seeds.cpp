// Writes the seed archives of the firmware-archive fuzz target into the directory given as the
// only argument: small valid archives of every image family, stored and deflated, with plain
// and nested names, and archives with each kind of damage the reader must turn into an error.

#include <cstdio>
#include <string>
#include <vector>

#include "sim/firmware/firmware_archive_writer.hpp"

namespace {

using tarnvel::BoardKind;
using tarnvel::sim::Compression;
using tarnvel::sim::EntryDamage;
using tarnvel::sim::firmware_bytes;
using tarnvel::sim::firmware_entry_name;
using tarnvel::sim::FirmwareEntry;

struct Seed {
    const char* file;
    std::vector<FirmwareEntry> entries;
};

FirmwareEntry image(std::string name, std::size_t size, Compression compression,
                    EntryDamage damage = EntryDamage::None) {
    return {std::move(name), firmware_bytes(size, static_cast<std::uint32_t>(size)), compression,
            damage};
}

// Images are kept tiny: libFuzzer mutates every byte, and the checks don't depend on size.
std::vector<Seed> seeds() {
    const auto stored = Compression::Stored;
    const auto deflate = Compression::Deflate;
    FirmwareEntry huge = image(firmware_entry_name(BoardKind::Qx630, 9), 64, deflate);
    // Below the 4-byte-address window, so that only reading can stop it.
    huge.declared_size = 0xF0000000u;
    FirmwareEntry short_size = image(firmware_entry_name(BoardKind::Qx480Bpi, 9), 64, stored);
    short_size.declared_size = 16;
    return {
        {"stored_plain.zip", {image(firmware_entry_name(BoardKind::Qx480Bpi, 42), 64, stored)}},
        {"deflated_nested.zip",
         {image("release/images/" + firmware_entry_name(BoardKind::Qx410, 17), 256, deflate)}},
        {"every_family.zip",
         {image("readme.txt", 40, deflate),
          image(firmware_entry_name(BoardKind::Qx410, 3), 32, stored),
          image(firmware_entry_name(BoardKind::Qx480Spi, 4), 32, deflate),
          image(firmware_entry_name(BoardKind::Qx400, 5), 32, stored),
          image(firmware_entry_name(BoardKind::Qx610Bpi, 6), 32, deflate),
          image(firmware_entry_name(BoardKind::Qx630, 7), 32, stored)}},
        {"two_matches.zip",
         {image("old/qx480_1_41.bin", 32, deflate), image("qx480_1_0042.bin.new", 34, deflate)}},
        {"odd_length.zip", {image(firmware_entry_name(BoardKind::Qx610Bpi, 1), 33, stored)}},
        {"empty_image.zip", {image(firmware_entry_name(BoardKind::Qx400, 1), 0, stored)}},
        {"no_match.zip", {image("QX480_1_2.bin", 16, stored), image("qx480_12.bin", 16, stored)}},
        {"bad_crc.zip",
         {image(firmware_entry_name(BoardKind::Qx480Spi, 2), 64, deflate, EntryDamage::BadCrc)}},
        {"encrypted.zip",
         {image(firmware_entry_name(BoardKind::Qx630, 3), 64, deflate, EntryDamage::Encrypted)}},
        {"imploded.zip",
         {image(firmware_entry_name(BoardKind::Qx400, 4), 64, stored,
                EntryDamage::UnsupportedCompression)}},
        {"declared_huge.zip", {huge}},
        {"declared_short.zip", {short_size}},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    int status = 0;
    for (const auto& seed : seeds()) {
        const std::string path = dir + "/" + seed.file;
        if (auto written = tarnvel::sim::write_zip(path, seed.entries); !written) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), error_text(written.error()).c_str());
            status = 1;
        }
    }
    // A download cut short, and a file that is no archive at all.
    const std::string cut = dir + "/cut_short.zip";
    if (!tarnvel::sim::write_zip(cut, seeds().front().entries) ||
        !tarnvel::sim::truncate_file(cut, 60) ||
        !tarnvel::sim::write_not_a_zip(dir + "/release_note.zip")) {
        std::fprintf(stderr, "%s: can't write the damaged files\n", dir.c_str());
        status = 1;
    }
    return status;
}
