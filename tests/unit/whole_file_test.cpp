// The one reader of whole files that archives, image files and signatures are read with: what
// it refuses, in what words, and that neither a FIFO nor a device holds it.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/trusted_file.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

TEST(WholeFile, ReadsARegularFileUpToItsLimitAndRefusesTheRest) {
    const sim::TempDir dir("tarnvel-whole-file.");
    const auto file = [&](const char* name, std::size_t size) {
        const fs::path path = dir.path() / name;
        std::ofstream(path) << std::string(size, 'x');
        return path.string();
    };
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);  // nobody writes it
    fs::create_directory(dir.path() / "dir");
    struct Case {
        std::string path;
        std::uint64_t largest;
        std::optional<std::size_t> read;  // the bytes it reads, or none: refused with `error`
        Error error = Error::os(0);
    } const cases[] = {
        {file("empty", 0), 10, 0},
        {file("whole", 10), 10, 10},
        {file("larger", 11), 10, std::nullopt, Error::os(EFBIG)},
        {(dir.path() / "missing").string(), 10, std::nullopt, Error::os(ENOENT)},
        {(dir.path() / "dir").string(), 10, std::nullopt, Error::os(EISDIR)},
        {(dir.path() / "fifo").string(), 10, std::nullopt,
         Error::message(ErrorKind::InvalidInput, "not a regular file but a FIFO")},
        {"/dev/zero", 10, std::nullopt,
         Error::message(ErrorKind::InvalidInput, "not a regular file but a character device")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto bytes = read_whole_file(c.path, c.largest);
        if (c.read) {
            ASSERT_TRUE(bytes) << error_text(bytes.error());
            EXPECT_EQ(*bytes, std::vector<std::uint8_t>(*c.read, 'x'));
        } else {
            ASSERT_FALSE(bytes);
            EXPECT_EQ(bytes.error(), c.error) << error_text(bytes.error());
        }
    }
}

}  // namespace
}  // namespace tarnvel
