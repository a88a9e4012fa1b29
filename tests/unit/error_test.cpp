#include "base/error.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tarnvel {
namespace {

struct KindCase {
    int errnum;
    const char* kind_text;
};

class OsErrorKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(OsErrorKind, MapsNumberToDescription) {
    EXPECT_EQ(error_kind_text(Error::os(GetParam().errnum)), GetParam().kind_text);
}

// Every row of the board family's error table, by number: the program writes the numbers by
// their E... names, so a name that stood for another number here would show up as a wrong kind.
INSTANTIATE_TEST_SUITE_P(
    WholeTable, OsErrorKind,
    ::testing::Values(KindCase{7, "argument list too long"}, KindCase{11, "operation would block"},
                      KindCase{12, "out of memory"}, KindCase{17, "entity already exists"},
                      KindCase{18, "cross-device link or rename"}, KindCase{20, "not a directory"},
                      KindCase{21, "is a directory"}, KindCase{26, "executable file busy"},
                      KindCase{27, "file too large"}, KindCase{28, "no storage space"},
                      KindCase{29, "seek on unseekable file"},
                      KindCase{30, "read-only filesystem or storage medium"},
                      KindCase{31, "too many links"}, KindCase{32, "broken pipe"},
                      KindCase{35, "deadlock"}, KindCase{36, "invalid filename"},
                      KindCase{39, "directory not empty"}, KindCase{98, "address in use"},
                      KindCase{99, "address not available"}, KindCase{100, "network down"},
                      KindCase{101, "network unreachable"}, KindCase{103, "connection aborted"},
                      KindCase{104, "connection reset"}, KindCase{107, "not connected"},
                      KindCase{111, "connection refused"}, KindCase{113, "host unreachable"},
                      KindCase{115, "in progress"}, KindCase{116, "stale network file handle"},
                      // Numbers next to table rows, which a name off by one would catch.
                      KindCase{3, "uncategorized error"}, KindCase{14, "uncategorized error"},
                      KindCase{37, "uncategorized error"}, KindCase{96, "uncategorized error"},
                      KindCase{102, "uncategorized error"}, KindCase{123, "uncategorized error"}));

INSTANTIATE_TEST_SUITE_P(
    Table, OsErrorKind,
    ::testing::Values(KindCase{1, "permission denied"}, KindCase{13, "permission denied"},
                      KindCase{2, "entity not found"}, KindCase{4, "operation interrupted"},
                      KindCase{16, "resource busy"}, KindCase{22, "invalid input parameter"},
                      KindCase{38, "unsupported"}, KindCase{95, "unsupported"},
                      KindCase{40, "filesystem loop or indirection limit (e.g. symlink loop)"},
                      KindCase{110, "timed out"}, KindCase{122, "quota exceeded"},
                      KindCase{0, "uncategorized error"}, KindCase{41, "uncategorized error"},
                      KindCase{200, "uncategorized error"}, KindCase{-1, "uncategorized error"}));

TEST(ErrorText, OsErrorIsLibcMessageWithNumber) {
    EXPECT_EQ(error_text(Error::os(2)), std::string(std::strerror(2)) + " (os error 2)");
    EXPECT_EQ(error_text(Error::os(0)), std::string(std::strerror(0)) + " (os error 0)");
}

TEST(ErrorText, OwnMessagesStandAloneWithTheirKinds) {
    const Error timeout = flash_write_timeout();
    EXPECT_EQ(error_text(timeout), "flash write timeout");
    EXPECT_EQ(error_kind_text(timeout), "timed out");
    const Error cant_write = Error::message(ErrorKind::InvalidData, kCantWriteFlash);
    EXPECT_EQ(error_kind_text(cant_write), "invalid data");
}

TEST(ErrorText, SysfsWriteCarriesLibcTextAloneAndKindByNumber) {
    const Error e = Error::sysfs_write(13);
    EXPECT_EQ(error_text(e), std::strerror(13));
    EXPECT_EQ(error_kind_text(e), "permission denied");
}

TEST(ErrorText, ArchiveErrorIsReadersMessageOfKindOther) {
    const Error e = Error::archive({19, 0, "Not a zip archive"});
    EXPECT_EQ(error_text(e), "Not a zip archive");
    EXPECT_EQ(error_kind_text(e), "other error");
}

}  // namespace
}  // namespace tarnvel
