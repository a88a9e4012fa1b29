// tarnvel-fw's JSON documents shown on a terminal drive nothing: every control character in a
// text a record holds, C1 controls and DEL among them, is escaped, and the document still reads
// back to the same texts.

#include "bin/tarnvel-fw/reports.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <string>

#include "support/journal_outside.hpp"

namespace tarnvel::fw {
namespace {

TEST(JsonDocuments, EscapeEveryControlCharacterATextHolds) {
    WriteRecord record;
    record.id = 7;
    record.start = testing::a_write();
    // CSI (U+009B) and NEL (U+0085) in UTF-8, ESC, BEL and DEL.
    record.start.model =
        "QX\xc2\x9b"
        "2J";
    record.end = WriteEnd{.verified = false, .error = "cut\xc2\x85 \x1b[31mred\x07\x7f"};
    const std::string text = history_json(std::span(&record, 1));
    for (const char* escaped : {"\\u009b", "\\u0085", "\\u001b", "\\u0007", "\\u007f"}) {
        EXPECT_NE(text.find(escaped), std::string::npos) << escaped << " in " << text;
    }
    for (const char* raw : {"\xc2\x9b", "\xc2\x85", "\x1b", "\x07", "\x7f"}) {
        EXPECT_EQ(text.find(raw), std::string::npos) << text;
    }
    const nlohmann::json document = nlohmann::json::parse(text);
    ASSERT_EQ(document.size(), 1u);
    EXPECT_EQ(document[0]["model"], record.start.model);
    EXPECT_EQ(document[0]["error"], *record.end->error);
}

// A write a stop signal ended part-way is "stopped" wherever it is shown: in the update's
// result, in the list's status and in the history's line. The documents keep their words
// ("write-failed" in list, "failed" in history) and say it with "stopped": true.
TEST(OneVocabulary, AStopReadsStoppedInUpdateListAndHistory) {
    const BoardIdentity board{.devnode = "/dev/tarnvel0",
                              .pci_address = "0000:03:00.0",
                              .kind = BoardKind::Qx480Spi,
                              .hw_major = 2,
                              .fw_version = 4};
    UpdateOutcome update{BoardUpdateReport(board)};
    update.report.result = UpdateResult::Stopped;
    update.error = "a stop signal ended the write after 3 of 16 blocks";
    BoardListing listing{.board = board,
                         .decision = Decision{BoardStatus::WriteFailed, "stopped part-way"}};
    listing.decision.stopped = true;
    WriteRecord record;
    record.start = testing::a_write();
    record.end = WriteEnd{.verified = false,
                          .error = "stopped",
                          .flash_changed = true,
                          .blocks = 16,
                          .blocks_written = 3,
                          .stopped = true};
    struct Case {
        const char* report;
        std::string text;
        nlohmann::json object;
        const char* key;
        nlohmann::json expected;
    };
    const Case cases[] = {
        {"update", update_text(std::span(&update, 1)),
         nlohmann::json::parse(update_json(std::span(&update, 1), false))["boards"][0], "result",
         "stopped"},
        {"list", list_table(std::span(&listing, 1)),
         nlohmann::json::parse(list_json(std::span(&listing, 1)))[0], "stopped", true},
        {"history", history_text(std::span(&record, 1)),
         nlohmann::json::parse(history_json(std::span(&record, 1)))[0], "stopped", true},
    };
    for (const Case& c : cases) {
        std::string lower = c.text;
        std::ranges::transform(lower, lower.begin(),
                               [](unsigned char ch) { return std::tolower(ch); });
        EXPECT_NE(lower.find("stopped"), std::string::npos) << c.report << ": " << c.text;
        EXPECT_EQ(lower.find("failed"), std::string::npos) << c.report << ": " << c.text;
        EXPECT_EQ(c.object[c.key], c.expected) << c.report;
    }
}

}  // namespace
}  // namespace tarnvel::fw
