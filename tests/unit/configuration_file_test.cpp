// The host's configuration file, which decides which images may be written: read only where no
// one but root and the caller can have written it (a place that is not one to trust is
// refused with what was found, never taken as "no configuration"), and bounded before the
// parser sees it, so that no text runs it out of stack.

#include "update/configuration_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kSomeoneElse = 65534;
constexpr const char* kSetting = "keep_backups = 0\n";

// A file holding `text`, of `mode` and `owner`, at `path`.
fs::path file_of(const fs::path& path, mode_t mode = 0644, uid_t owner = 0,
                 const std::string& text = kSetting) {
    EXPECT_TRUE(sim::write_whole_file(path, text));
    ::chmod(path.c_str(), mode);
    EXPECT_EQ(::chown(path.c_str(), owner, 0), 0);
    return path;
}

struct PlaceCase {
    const char* name;
    // Lays out the configuration in the directory `dir`; answers its path.
    std::function<fs::path(const fs::path& dir)> make;
    const char* problem;  // part of the refusal; none: the file is read
};

TEST(ConfigurationFile, IsReadOnlyWhereNoOneElseCanHaveWrittenIt) {
    const PlaceCase cases[] = {
        {"a good file", [](const fs::path& d) { return file_of(d / "c.toml"); }, nullptr},
        {"a file of someone else",
         [](const fs::path& d) { return file_of(d / "c.toml", 0644, kSomeoneElse); },
         "it belongs to uid 65534, neither root nor the user running this"},
        {"a file writable by all", [](const fs::path& d) { return file_of(d / "c.toml", 0666); },
         "it is writable by others (mode 0666)"},
        {"a file writable by its group",
         [](const fs::path& d) { return file_of(d / "c.toml", 0664); },
         "it is writable by others (mode 0664)"},
        {"a directory writable by all",
         [](const fs::path& d) {
             fs::create_directory(d / "etc");
             ::chmod((d / "etc").c_str(), 0777);
             return file_of(d / "etc" / "c.toml");
         },
         "writable by others and not sticky (mode 0777)"},
        {"a sticky directory",
         [](const fs::path& d) {
             fs::create_directory(d / "etc");
             ::chmod((d / "etc").c_str(), 01777);
             return file_of(d / "etc" / "c.toml");
         },
         nullptr},
        {"a relative path", [](const fs::path&) { return fs::path("tarnvel-fw.toml"); },
         "not an absolute path"},
        {"a link to nothing",
         [](const fs::path& d) {
             fs::create_symlink(d / "gone.toml", d / "c.toml");
             return d / "c.toml";
         },
         "it is a symbolic link (to "},
        {"a link to a good file",
         [](const fs::path& d) {
             fs::create_symlink(file_of(d / "real.toml"), d / "c.toml");
             return d / "c.toml";
         },
         nullptr},
        {"a link to a file of someone else",
         [](const fs::path& d) {
             fs::create_symlink(file_of(d / "real.toml", 0644, kSomeoneElse), d / "c.toml");
             return d / "c.toml";
         },
         "real.toml belongs to uid 65534"},
        {"a FIFO, which is not waited on",
         [](const fs::path& d) {
             ::mkfifo((d / "c.toml").c_str(), 0644);
             return d / "c.toml";
         },
         "it is a FIFO, not a regular file"},
        {"a directory",
         [](const fs::path& d) {
             fs::create_directory(d / "c.toml");
             return d / "c.toml";
         },
         "it is a directory, not a regular file"},
        {"larger than a configuration",
         [](const fs::path& d) {
             return file_of(d / "c.toml", 0644, 0, std::string(kLargestConfiguration + 1, '#'));
         },
         "more than the 1048576 bytes such a file may"},
    };
    for (const PlaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::TempDir dir("tarnvel-config.");
        ::chmod(dir.path().c_str(), 0755);
        const fs::path file = c.make(dir.path());
        auto read = read_configuration_file(file);
        if (c.problem == nullptr) {
            ASSERT_TRUE(read) << error_text(read.error());
            ASSERT_TRUE(*read);
            EXPECT_EQ((**read)["keep_backups"].value<int>(), 0);
            continue;
        }
        ASSERT_FALSE(read);
        const std::string why = error_text(read.error());
        EXPECT_TRUE(why.starts_with(file.string() + ": ")) << why;
        EXPECT_NE(why.find(c.problem), std::string::npos) << why;
    }
    // Nothing at the name: no configuration.
    const sim::TempDir dir("tarnvel-config.");
    auto none = read_configuration_file(dir.path() / "missing.toml");
    ASSERT_TRUE(none) << error_text(none.error());
    EXPECT_FALSE(*none);
}

// Texts nested far deeper than a configuration may be are refused with their place before the
// parser sees them; what a configuration holds, dots in values, strings and comments included,
// is parsed.
TEST(ConfigurationFile, IsBoundedBeforeTheParserSeesIt) {
    const auto times = [](std::string_view piece, std::size_t n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += piece;
        return text;
    };
    struct Case {
        const char* what;
        std::string text;
        const char* refusal;  // none: parsed
    };
    const Case cases[] = {
        {"a dotted key 50,000 deep", "a" + times(".a", 49999) + " = 1\n",
         "line 1, column 66: tables, lists and dotted keys nest deeper"},
        {"a quoted dotted key 50,000 deep", "\"a\"" + times(".\"a\"", 49999) + " = 1\n",
         "line 1, column"},
        {"a table's name 50,000 deep", "x = 1\n[a" + times(" . a", 49999) + "]\n",
         "line 2, column"},
        {"lists 50,000 deep", "a = " + times("[", 50000) + times("]", 50000) + "\n",
         "line 1, column 37: "},
        {"inline tables 50,000 deep", "a = " + times("{ b = ", 50000) + "1" + times("}", 50000),
         "nest deeper than a configuration may (32 levels)"},
        {"larger than a configuration", std::string(kLargestConfiguration + 1, '\n'),
         "larger than a configuration may be"},
        {"as deep as a configuration may be", "a" + times(".a", 31) + " = 1\n", nullptr},
        {"dots in values, strings and comments",
         "a = [" + times("1.5, ", 100) + "2.5]\nb = \"" + times(".", 100) + "\"\n# " +
             times(".", 100) + "\nc = '''" + times("[.", 100) + "'''\nd = \"\"\"\n" +
             times("{.", 100) + "\"\"\"\ne = 1979-05-27T07:32:00.999Z\n",
         nullptr},
        {"not TOML, its controls escaped", "\x1b[2J = 1\n", "line 1, column"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto table = parse_configuration(c.text, "/etc/tarnvel/tarnvel-fw.toml");
        if (c.refusal == nullptr) {
            EXPECT_TRUE(table) << error_text(table.error());
            continue;
        }
        ASSERT_FALSE(table);
        const std::string why = error_text(table.error());
        EXPECT_TRUE(why.starts_with("/etc/tarnvel/tarnvel-fw.toml: line ")) << why;
        EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
        EXPECT_EQ(why.find('\x1b'), std::string::npos) << why;
    }
}

}  // namespace
}  // namespace tarnvel
