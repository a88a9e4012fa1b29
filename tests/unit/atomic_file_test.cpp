// A file written through AtomicFile appears whole or not at all, and never replaces a file it
// was not allowed to.
#include "base/atomic_file.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class AtomicFileTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

    fs::path path(const char* name) const { return dir_.path() / name; }
    static Bytes contents(const fs::path& file) {
        const std::string text = sim::read_whole_file(file).value_or("");
        return Bytes(text.begin(), text.end());
    }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir_.path())) {
            found.push_back(entry.path().filename().string());
        }
        std::ranges::sort(found);
        return found;
    }

    sim::TempDir dir_{"tarnvel-atomic."};
};

struct Case {
    const char* what;
    bool existing;   // a file of that name is there before the commit
    bool replace;    // AtomicFile may replace it
    bool commit;     // the writer gets as far as committing
    bool committed;  // the commit succeeds
};

TEST_F(AtomicFileTest, AppearsWholeOrNotAtAll) {
    const Case cases[] = {
        {"new file", false, false, true, true},
        {"replaced", true, true, true, true},
        {"kept: it appeared meanwhile", true, false, true, false},
        {"abandoned", false, false, false, false},
        {"abandoned over an old file", true, true, false, false},
    };
    const Bytes data{1, 2, 3, 4, 5};
    const Bytes old{9, 9};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path target = path("copy.bin");
        fs::remove(target);
        {
            auto file = AtomicFile::create(target, c.replace);
            ASSERT_TRUE(file);
            ASSERT_TRUE(file->write(data));
            if (c.existing) std::ofstream(target, std::ios::binary).write("\x09\x09", 2);
            if (c.commit) {
                auto committed = file->commit();
                EXPECT_EQ(committed.has_value(), c.committed);
                if (!committed) {
                    EXPECT_EQ(committed.error(), Error::os(EEXIST));
                }
            }
        }
        if (c.committed) {
            EXPECT_EQ(contents(target), data);
        } else if (c.existing) {
            EXPECT_EQ(contents(target), old);
        }
        // Nothing but the file itself, if any, is left in the directory.
        EXPECT_EQ(names(), (c.committed || c.existing ? std::vector<std::string>{"copy.bin"}
                                                      : std::vector<std::string>{}));
    }
}

// Until the commit the file has no name, so a writer killed meanwhile leaves nothing behind;
// and a name as long as the file system allows needs no longer one beside it.
TEST_F(AtomicFileTest, HasNoOtherNameWhileItIsWritten) {
    const Bytes data{1, 2, 3};
    const std::string longest(250, 'n');
    for (const bool replace : {false, true}) {
        SCOPED_TRACE(replace ? "replacing" : "new");
        if (replace) std::ofstream(path(longest.c_str())) << "old";
        auto file = AtomicFile::create(path(longest.c_str()), replace);
        ASSERT_TRUE(file) << error_text(file.error());
        ASSERT_TRUE(file->write(data));
        EXPECT_EQ(names(),
                  replace ? std::vector<std::string>{longest} : std::vector<std::string>{});
        ASSERT_TRUE(file->commit());
        EXPECT_EQ(names(), std::vector<std::string>{longest});
        EXPECT_EQ(contents(path(longest.c_str())), data);
        fs::remove(path(longest.c_str()));
    }
}

// A name taken by anything but a regular file is left as it is, even when replacing, and the
// refusal says what it is: found at the start, or appearing while the file is written.
TEST_F(AtomicFileTest, ReplacesOnlyARegularFile) {
    struct Taken {
        const char* what;
        fs::file_type type;
        std::function<void(const fs::path&)> make;
    };
    const Taken takers[] = {
        {"a directory", fs::file_type::directory,
         [](const fs::path& at) { fs::create_directory(at); }},
        {"a symbolic link", fs::file_type::symlink,
         [this](const fs::path& at) { fs::create_symlink(path("kept"), at); }},
        {"a FIFO", fs::file_type::fifo,
         [](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
    };
    std::ofstream(path("kept"), std::ios::binary) << "kept";
    for (const Taken& taken : takers) {
        for (const bool at_start : {true, false}) {
            SCOPED_TRACE(std::string(taken.what) + (at_start ? " at the start" : " meanwhile"));
            const fs::path target = path("target");
            if (at_start) taken.make(target);
            Status refused;
            {
                auto file = AtomicFile::create(target, true);
                if (!file) {
                    refused = std::unexpected(file.error());
                } else {
                    ASSERT_FALSE(at_start) << "refused only at the commit";
                    ASSERT_TRUE(file->write(Bytes{1, 2}));
                    taken.make(target);
                    refused = file->commit();
                }
            }
            ASSERT_FALSE(refused);
            EXPECT_EQ(refused.error().kind(), ErrorKind::AlreadyExists);
            EXPECT_EQ(error_text(refused.error()),
                      fmt::format("it is {}, and only a regular file is replaced", taken.what));
            EXPECT_EQ(fs::symlink_status(target).type(), taken.type);
            EXPECT_EQ(names(), (std::vector<std::string>{"kept", "target"}));
            EXPECT_EQ(contents(path("kept")), (Bytes{'k', 'e', 'p', 't'}));
            fs::remove(target);
        }
    }
}

// The replaced file's owner, group and permission bits go to the new one: a reader that runs
// as a user of its own reads it as before.
TEST_F(AtomicFileTest, ReplacedFileKeepsItsOwnerGroupAndMode) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user takes root";
    const fs::path target = path("metrics.prom");
    std::ofstream(target) << "old";
    ASSERT_EQ(::chown(target.c_str(), 4321, 8765), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_TRUE(write_file_atomically(target, "new", true));
    struct stat after {};
    ASSERT_EQ(::stat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, 4321u);
    EXPECT_EQ(after.st_gid, 8765u);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(contents(target), (Bytes{'n', 'e', 'w'}));
}

TEST_F(AtomicFileTest, FailsWhereNoFileCanBeMade) {
    auto file = AtomicFile::create(path("missing/copy.bin"), false);
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error(), Error::os(ENOENT));
}

}  // namespace
}  // namespace tarnvel
