// tarnvel-fw's configuration file: what it sets, and that everything it does not understand is
// refused with its line and column rather than half taken.

#include "bin/tarnvel-fw/configuration.hpp"

#include <gtest/gtest.h>

#include <string>

#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel::fw {
namespace {

const std::string kDigest(64, 'a');

struct ConfigurationCase {
    const char* name;
    const char* text;
    const char* refusal;  // empty: taken
};

TEST(Configuration, IsTakenWholeOrRefusedWithItsPlace) {
    const sim::TempDir dir("tarnvel-config.");
    const ConfigurationCase cases[] = {
        {"empty", "", ""},
        {"comments only", "# nothing set\n", ""},
        {"every setting",
         "approved_sha256 = "
         "[\"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\"]\n"
         "blocked_sha256 = []\nkeep_backups = 0\njobs = 3\n",
         ""},
        {"not TOML", "jobs = = 3\n", "line 1, column"},
        {"unknown key", "\n  job = 3\n", "line 2, column 3: \"job\" is not a setting"},
        {"jobs of the wrong kind", "jobs = \"4\"\n", "line 1, column 8: jobs is a whole number"},
        {"no jobs at all", "jobs = 0\n", "jobs is a whole number from 1 to 1024"},
        {"more jobs than --jobs takes", "jobs = 1025\n",
         "line 1, column 8: jobs is a whole "
         "number from 1 to 1024"},
        {"as many jobs as --jobs takes", "jobs = 1024\n", ""},
        {"negative retention", "keep_backups = -1\n", "keep_backups is a whole number from 0"},
        {"a digest too short", "blocked_sha256 = [\"abc\"]\n", "line 1, column 19"},
        {"a digest list that is a string", "approved_sha256 = \"abc\"\n",
         "approved_sha256 is a list"},
        {"a digest that is a number", "blocked_sha256 = [1]\n",
         "line 1, column 19: blocked_sha256 holds something that is not a SHA-256 digest (64 "
         "hexadecimal digits in quotes)"},
        {"an unknown key, with the known ones", "jobs = 2\nretries = 3\n",
         "line 2, column 1: \"retries\" is not a setting of tarnvel-fw (approved_sha256, "
         "blocked_sha256, keep_backups, jobs, require_signature, trusted_keys, "
         "rollback_on_failure)"},
        {"both flags", "require_signature = false\nrollback_on_failure = true\n", ""},
        {"a flag that is a number", "require_signature = 1\n",
         "line 1, column 21: require_signature is true or false"},
        {"a flag in quotes", "rollback_on_failure = \"true\"\n",
         "line 1, column 23: rollback_on_failure is true or false"},
        {"a key list that is a string", "trusted_keys = \"RWQ\"\n",
         "line 1, column 16: trusted_keys is a list of minisign public keys"},
        {"a key that is none", "trusted_keys = [\"RWQ\"]\n",
         "line 1, column 17: trusted_keys holds something that is not a minisign public key "
         "(the second line of a .pub file, in quotes)"},
    };
    for (const ConfigurationCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir.path() / "tarnvel-fw.toml";
        ASSERT_TRUE(sim::write_whole_file(file, c.text));
        auto read = read_configuration(file);
        if (std::string(c.refusal).empty()) {
            EXPECT_TRUE(read) << error_text(read.error());
            continue;
        }
        ASSERT_FALSE(read);
        const std::string why = error_text(read.error());
        EXPECT_NE(why.find(file.string() + ": "), std::string::npos) << why;
        EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
    }
}

TEST(Configuration, SetsWhatItSays) {
    const sim::TempDir dir("tarnvel-config.");
    const auto file = dir.path() / "tarnvel-fw.toml";
    ASSERT_TRUE(sim::write_whole_file(
        file, "approved_sha256 = [\"" + kDigest + "\"]\nblocked_sha256 = [\"" +
                  std::string(64, 'B') +
                  "\"]\nkeep_backups = 5\njobs = 2\nrequire_signature = true\n"
                  "rollback_on_failure = true\n"));
    auto read = read_configuration(file);
    ASSERT_TRUE(read) << error_text(read.error());
    EXPECT_EQ(read->images.approved_sha256, std::vector<std::string>{kDigest});
    EXPECT_EQ(read->images.blocked_sha256, std::vector<std::string>{std::string(64, 'b')});
    EXPECT_EQ(read->keep_backups, 5u);
    EXPECT_EQ(read->jobs, 2u);
    EXPECT_TRUE(read->images.require_signature);
    EXPECT_TRUE(read->rollback_on_failure);

    // No file: nothing set, no policy.
    auto none = read_configuration(dir.path() / "missing.toml");
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->images.approved_sha256 || none->keep_backups || none->jobs);
    // A directory where the file should be is no configuration.
    EXPECT_FALSE(read_configuration(dir.path()));
    // A file that can't be read says why, and names no place in it (a regular file whose first
    // byte is an address no process maps: reading it fails with EIO).
    auto unreadable = read_configuration("/proc/self/mem");
    ASSERT_FALSE(unreadable);
    EXPECT_EQ(error_text(unreadable.error()), "/proc/self/mem: can't be read: Input/output error");
}

// An approved list that is there but empty approves nothing: it is not "no list".
TEST(Configuration, AnEmptyApprovedListApprovesNothing) {
    const sim::TempDir dir("tarnvel-config.");
    const auto file = dir.path() / "tarnvel-fw.toml";
    ASSERT_TRUE(sim::write_whole_file(file, "approved_sha256 = []\n"));
    auto read = read_configuration(file);
    ASSERT_TRUE(read) << error_text(read.error());
    ASSERT_TRUE(read->images.approved_sha256);
    EXPECT_TRUE(read->images.approved_sha256->empty());
    EXPECT_EQ(judge_image(read->images, kDigest), ImageVerdict::NotApproved);
}

// A key (ESC and BEL as TOML's escapes write them) and a file name that hold control
// characters are quoted escaped.
TEST(Configuration, RefusalsQuoteKeysAndTheFileEscaped) {
    const sim::TempDir dir("tarnvel-config.");
    const auto file = dir.path() / "tarnvel\x1b[2J.toml";
    ASSERT_TRUE(sim::write_whole_file(file, "\"\\u001b]0;owned\\u0007\" = 1\n"));
    auto read = read_configuration(file);
    ASSERT_FALSE(read);
    const std::string why = error_text(read.error());
    EXPECT_NE(why.find("tarnvel\\x1b[2J.toml: line 1, column 1: \"\\x1b]0;owned\\x07\" is not a "
                       "setting"),
              std::string::npos)
        << why;
}

}  // namespace
}  // namespace tarnvel::fw
