// Signed firmware: where signatures are required, only an archive or image file signed by a
// trusted key, unchanged since, is written, not even --force writes any other; a present
// signature that does not hold is refused either way; what a write's signature said stays in
// the journal, and a rollback is judged by the write that put the firmware back on the flash.

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "firmware/firmware_archive.hpp"
#include "firmware/signed_image.hpp"
#include "fw_harness.hpp"
#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"
#include "support/minisign_tool.hpp"

namespace tarnvel::testing {
namespace {

namespace fs = std::filesystem;

constexpr BoardKind kKind = BoardKind::Qx630;
constexpr std::uint16_t kFirmware = 40;

bool contains(const Json& text, std::string_view part) {
    return text.is_string() && text.get<std::string>().find(part) != std::string::npos;
}

class SignatureTest : public FwTest {
  protected:
    // Keys of a vendor the fleet trusts and of someone else.
    sim::TempDir keys_dir_{"tarnvel-keys."};
    MinisignKeyPair vendor_{keys_dir_.path(), "vendor"};
    MinisignKeyPair stranger_{keys_dir_.path(), "stranger"};

    fs::path archive() {
        const HwVersionEntry& hw = board_info(kKind).hw_versions.front();
        return firmware().archive_dir() / firmware_archive_name(kKind, hw.major, hw.minor);
    }
    fs::path signature() { return signature_path(archive().string()); }
    void configure(std::string_view text) {
        ASSERT_TRUE(sim::write_whole_file(state_dir().parent_path() / "tarnvel-fw.toml", text));
    }
    void require_vendor(std::string_view more = "") {
        configure(fmt::format("require_signature = true\ntrusted_keys = [\"{}\"]\n{}",
                              vendor_.key_line(), more));
    }
    // The archive of image `version` for the board, as the vendor ships it, unsigned; or,
    // with `seed`, other bytes put in its place with its signature left as it is.
    void ship(std::int32_t version, std::optional<std::uint32_t> seed = std::nullopt) {
        const HwVersionEntry& hw = board_info(kKind).hw_versions.front();
        ASSERT_TRUE(firmware().add_board_image(
            kKind, hw.major, hw.minor, version,
            sim::firmware_bytes(2048, seed.value_or(7000 + static_cast<std::uint32_t>(version)))));
        if (!seed) fs::remove(signature());
    }
    Json update(std::vector<std::string> args, int status = 0) {
        args.insert(args.end(), {"--yes", "--no-reboot", "--json"});
        const sim::RunResult result = fw(std::move(args));
        EXPECT_TRUE(result.exited_with(status)) << result.describe_end() << "\n" << result.err;
        return board_entry(parse_json(result), "/dev/tarnvel0");
    }
    std::size_t writes() { return parse_json(fw({"history", "--json"})).size(); }
};

TEST_F(SignatureTest, OnlyArchivesATrustedKeySignedAreWritten) {
    add_board(kKind, kFirmware, std::nullopt);
    ship(kFirmware + 1);
    require_vendor();
    struct Case {
        const char* what;
        std::function<void()> prepare;
        const char* result;
        std::string named;  // in the error and in list's reason
    };
    const Case cases[] = {
        {"no signature", [] {}, "unsigned", ".minisig"},
        {"a key not trusted", [&] { stranger_.sign(archive(), "theirs"); }, "untrusted-signature",
         stranger_.key_id()},
        {"changed after signing",
         [&] {
             vendor_.sign(archive(), "release 41");
             ship(kFirmware + 1, 1);
         },
         "bad-signature", vendor_.key_id()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ship(kFirmware + 1);
        c.prepare();
        const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
        EXPECT_EQ(listed["status"], c.result);
        EXPECT_TRUE(contains(listed["signature_reason"], c.named)) << listed.dump(2);
        const Json board = update({"update", "--force"}, kExitBoardFailed);
        EXPECT_EQ(board["result"], c.result);
        EXPECT_TRUE(contains(board["error"], c.named)) << board["error"];
        EXPECT_EQ(writes(), 0u);
        EXPECT_FALSE(firmware_storage(hardware(0)).changed());
    }

    // Signed by the vendor, in the legacy form, with the key in the directory beside the
    // configuration instead of in it.
    ship(kFirmware + 1);
    vendor_.sign(archive(), "release 41 for the lab", true);
    configure("require_signature = true\n");
    fs::create_directory(state_dir().parent_path() / "trusted-keys.d");
    fs::copy_file(vendor_.pub_file(), state_dir().parent_path() / "trusted-keys.d/vendor.pub");
    const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(listed["status"], "update-available");
    EXPECT_EQ(listed["signature"], "verified");
    EXPECT_EQ(listed["signature_key_id"], vendor_.key_id());
    EXPECT_EQ(listed["signature_comment"], "release 41 for the lab");
    const Json board = update({"update"});
    EXPECT_EQ(board["result"], "updated");
    EXPECT_EQ(board["signature_comment"], "release 41 for the lab");
    const Json record = parse_json(fw({"history", "--json"}))[0];
    EXPECT_EQ(record["signature_key_id"], vendor_.key_id());
    EXPECT_EQ(record["signature_comment"], "release 41 for the lab");
    EXPECT_NE(fw({"history"}).out.find("trusted comment \"release 41 for the lab\""),
              std::string::npos);
}

TEST_F(SignatureTest, APresentSignatureIsCheckedWhenNoneIsRequired) {
    add_board(kKind, kFirmware, std::nullopt);
    ship(kFirmware + 1);
    configure(fmt::format("trusted_keys = [\"{}\"]\n", vendor_.key_line()));
    // Damaged: refused, as a bad checksum would be, also with --force.
    vendor_.sign(archive(), "release 41");
    std::string text = sim::read_whole_file(signature()).value_or("");
    text.replace(text.find("release 41"), 10, "release 99");
    ASSERT_TRUE(sim::write_whole_file(signature(), text));
    const Json bad = update({"update", "--force"}, kExitBoardFailed);
    EXPECT_EQ(bad["result"], "bad-signature");
    EXPECT_TRUE(contains(bad["error"], "trusted comment")) << bad["error"];
    EXPECT_EQ(writes(), 0u);

    // By a key not trusted: shown by its id, and written.
    stranger_.sign(archive(), "theirs");
    const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(listed["signature"], "untrusted-key");
    EXPECT_EQ(listed["signature_key_id"], stranger_.key_id());
    EXPECT_EQ(listed["signature_comment"], nullptr);
    EXPECT_EQ(update({"update"})["result"], "updated");
    EXPECT_EQ(parse_json(fw({"history", "--json"}))[0]["signature_key_id"], nullptr);
}

TEST_F(SignatureTest, AnImageFileIsCheckedByTheSignatureBesideIt) {
    add_board(kKind, kFirmware, std::nullopt);
    require_vendor();
    const std::string image = scratch_file("image.bin");
    const std::vector<std::uint8_t> bytes = sim::firmware_bytes(2048, 99);
    ASSERT_TRUE(sim::write_whole_file(image, std::string(bytes.begin(), bytes.end())));
    const std::vector<std::string> args{"update",  "--board", "/dev/tarnvel0",
                                        "--image", image,     "--force"};
    EXPECT_EQ(update(args, kExitBoardFailed)["result"], "unsigned");
    vendor_.sign(image, "lab image");
    const Json board = update(args);
    EXPECT_EQ(board["result"], "updated");
    EXPECT_EQ(board["signature_key_id"], vendor_.key_id());
    EXPECT_EQ(image_region(hardware(0), bytes.size()), bytes);
}

TEST_F(SignatureTest, ARollbackIsJudgedByTheWriteThatPutTheFirmwareOnTheFlash) {
    add_board(kKind, kFirmware, std::nullopt);
    require_vendor("keep_backups = 5\n");  // the first write's backup too
    for (const std::int32_t version : {kFirmware + 1, kFirmware + 2}) {
        ship(version);
        vendor_.sign(archive(), fmt::format("release {}", version));
        ASSERT_EQ(update({"update"})["result"], "updated");
    }
    // Release 41 was put on the flash by a signed write: going back to it needs nothing more,
    // and the write back names the same signature.
    EXPECT_EQ(update({"rollback"})["result"], "updated");
    EXPECT_EQ(parse_json(fw({"history", "--json"}))[0]["signature_comment"], "release 41");

    // What the board held before the first write came from no signed write the journal knows.
    const Json first = parse_json(fw({"history", "--json"})).back();
    const std::vector<std::string> to_first{"rollback", "--board", "/dev/tarnvel0", "--to",
                                            std::to_string(first["id"].get<int>())};
    const Json refused = update(to_first, kExitBoardFailed);
    EXPECT_EQ(refused["result"], "unsigned");
    EXPECT_TRUE(contains(refused["error"], "--force")) << refused["error"];
    std::vector<std::string> forced = to_first;
    forced.push_back("--force");
    EXPECT_EQ(update(forced)["result"], "updated");

    // The blocked list still wins, also with --force: release 41, kept by the write of 42.
    std::optional<Json> write_of_42;
    for (const Json& record : parse_json(fw({"history", "--json"}))) {
        if (record["image_version"] == kFirmware + 2 && record["rollback_of"].is_null()) {
            write_of_42 = record;
        }
    }
    ASSERT_TRUE(write_of_42);
    require_vendor(fmt::format("blocked_sha256 = [\"{}\"]\n",
                               (*write_of_42)["backup_image_sha256"].get<std::string>()));
    const std::vector<std::string> back_to_41{"rollback",
                                              "--board",
                                              "/dev/tarnvel0",
                                              "--to",
                                              std::to_string((*write_of_42)["id"].get<int>()),
                                              "--force"};
    EXPECT_EQ(update(back_to_41, kExitBoardFailed)["result"], "blocked");
}

}  // namespace
}  // namespace tarnvel::testing
