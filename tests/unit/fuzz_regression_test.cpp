// Inputs that the fuzz targets (fuzz/) found mishandled, each with the result it must give.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive_test_support.hpp"
#include "bpi/cfi.hpp"
#include "sim/support/temp_dir.hpp"
#include "firmware/firmware_archive.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define TARNVEL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNVEL_UNDER_ASAN 1
#endif
#endif

namespace tarnvel {
namespace {

namespace fs = std::filesystem;
using sim::Compression;
using K = BoardKind;

using testing::reader_error;
using sim::TempDir;

// Caps this process's address space at what it uses now plus `headroom` bytes.
[[maybe_unused]] bool cap_address_space(std::uint64_t headroom) {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    if (!(statm >> pages)) return false;
    const std::uint64_t limit =
        pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) + headroom;
    const rlimit cap{limit, limit};
    return ::setrlimit(RLIMIT_AS, &cap) == 0;
}

// A 64-byte image whose entry declares a size just under the 4 GiB that boards with 4-byte
// flash addresses take: found by firmware_archive_fuzz, which saw the reader ask for the whole
// declared size at once before reading a byte. The lie must be reported as the damaged archive
// it is, and must cost no more memory than the bytes that are there; on a machine that can't
// hand out 4 GiB at once it came back as "out of memory" instead.
struct LyingSizeCase {
    const char* what;
    BoardKind kind;
    const char* name;
    Compression compression;
    std::uint32_t declared_size;
};
void PrintTo(const LyingSizeCase& c, std::ostream* os) {
    *os << c.what;
}

class LyingDeclaredSize : public ::testing::TestWithParam<LyingSizeCase> {};

TEST_P(LyingDeclaredSize, IsDamagedArchiveEvenWhereMemoryForTheLieIsMissing) {
    const auto& c = GetParam();
    TempDir dir;
    const std::string path = (dir.path() / "fw.zip").string();
    ASSERT_TRUE(sim::write_zip(path, {{c.name, sim::firmware_bytes(64), c.compression,
                                       sim::EntryDamage::None, c.declared_size}}));
    const Error expected = reader_error(ZIP_ER_INCONS);

    // With memory to spare, and in a child whose address space has 256 MiB left.
    auto found = find_firmware_image_at(path, c.kind);
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error(), expected) << error_text(found.error());
#ifdef TARNVEL_UNDER_ASAN
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space cap";
#else
    EXPECT_EXIT(
        {
            if (!cap_address_space(256u << 20)) std::_Exit(2);
            auto capped = find_firmware_image_at(path, c.kind);
            if (capped || capped.error() != expected) {
                std::fprintf(stderr, "got: %s\n",
                             capped ? "an image" : error_text(capped.error()).c_str());
                std::_Exit(1);
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}

INSTANTIATE_TEST_SUITE_P(
    FourByteAddressKinds, LyingDeclaredSize,
    ::testing::Values(LyingSizeCase{"QX630 deflated", K::Qx630, "qx630_1_9.bin",
                                    Compression::Deflate, 0xF0000000u},
                      LyingSizeCase{"QX480 SPI stored", K::Qx480Spi, "qx480_1_9.bin",
                                    Compression::Stored, 0xF0000000u},
                      // Exactly the window: from 0x1000000 to the end of the 4-byte address range.
                      LyingSizeCase{"QX610 SPI at the window", K::Qx610Spi, "qx610_1_9.bin",
                                    Compression::Deflate, 0xFF000000u}));

// A parallel part whose regions differ in size, and whose query points its primary vendor table
// below the query itself (word 2): found by cfi_fuzz, which saw the regions taken as listed.
// Without a table that can be read, nothing says which end the boot sectors are at, and the
// update's sectors must fit either way round.
TEST(CfiQuery, RegionsOfDifferentSizesWithoutAReadableBootFlagMayLieEitherWay) {
    const std::uint8_t query[] = {
        0x51, 0x52, 0x59, 0x02, 0x00, 0x02, 0x00, 0x54, 0x00, 0x00, 0x00, 0x17, 0x19, 0x00,
        0x00, 0x00, 0x00, 0x50, 0x00, 0x49, 0x01, 0x02, 0x40, 0x19, 0x01, 0x00, 0x0d, 0x00,
        0x03, 0x03, 0x00, 0x80, 0x00, 0x03, 0x00, 0x80, 0x00, 0xfd, 0x00, 0x00, 0x02, 0x03,
        0x00, 0x80, 0x00, 0x00, 0xca, 0x00};
    static_assert(std::size(query) == kCfiWords);
    const std::vector<std::uint16_t> words(std::begin(query), std::end(query));
    EXPECT_FALSE(cfi_primary_table(words));
    auto geometry = parse_cfi_query(words, {});
    ASSERT_TRUE(geometry) << error_text(geometry.error());
    EXPECT_TRUE(geometry->regions_may_be_reversed);
}

}  // namespace
}  // namespace tarnvel
