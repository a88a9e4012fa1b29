// tarnvel-fw's JSON documents shown on a terminal drive nothing: every control character in a
// text a record holds, C1 controls and DEL among them, is escaped, and the document still reads
// back to the same texts.

#include "bin/tarnvel-fw/reports.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

}  // namespace
}  // namespace tarnvel::fw
