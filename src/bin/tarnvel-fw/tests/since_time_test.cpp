// history --since as an operator types it: times with an offset or Z, local times of the
// machine's zone (winter and summer), days, and a while ago; anything else is refused.

#include "bin/tarnvel-fw/since_time.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "journal/journal.hpp"

namespace tarnvel::fw {
namespace {

// The machine's zone for a test: Central European Time, an hour ahead of UTC in winter and
// two in summer (a POSIX rule, so that no time zone database is needed).
class CentralEuropeanTime {
  public:
    CentralEuropeanTime() {
        if (const char* zone = std::getenv("TZ")) saved_ = zone;
        ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        ::tzset();
    }
    ~CentralEuropeanTime() {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    CentralEuropeanTime(const CentralEuropeanTime&) = delete;
    CentralEuropeanTime& operator=(const CentralEuropeanTime&) = delete;

  private:
    std::optional<std::string> saved_;
};

TEST(SinceTime, TakesTimesAsPeopleTypeThem) {
    const CentralEuropeanTime zone;
    // 10:30 in Paris.
    const std::int64_t now = unix_seconds_of("2026-12-08T09:30:00Z").value();
    const std::pair<const char*, const char*> taken[] = {
        {"2026-12-08T07:40:00Z", "2026-12-08T07:40:00Z"},
        {"2026-12-08T08:40:00+01:00", "2026-12-08T07:40:00Z"},
        {"2026-12-08T08:40:00+0100", "2026-12-08T07:40:00Z"},
        {"2026-12-08 02:40-05:00", "2026-12-08T07:40:00Z"},
        {"2026-12-08 07:40Z", "2026-12-08T07:40:00Z"},
        {"2026-12-08 08:40:00", "2026-12-08T07:40:00Z"},
        {"2026-12-08T08:40", "2026-12-08T07:40:00Z"},
        {"2026-07-01 12:00", "2026-07-01T10:00:00Z"},
        {"2026-12-08", "2026-12-07T23:00:00Z"},
        {"today", "2026-12-07T23:00:00Z"},
        {"yesterday", "2026-12-06T23:00:00Z"},
        {"now", "2026-12-08T09:30:00Z"},
        {"-1h", "2026-12-08T08:30:00Z"},
        {"1 hour ago", "2026-12-08T08:30:00Z"},
        {"-1h30min", "2026-12-08T08:00:00Z"},
        {"-1h 30 min", "2026-12-08T08:00:00Z"},
        {"2 days 1 hour ago", "2026-12-06T08:30:00Z"},
        {"-90s", "2026-12-08T09:28:30Z"},
        {"1w ago", "2026-12-01T09:30:00Z"},
    };
    for (const auto& [text, when] : taken) {
        const auto seconds = parse_since(text, now);
        EXPECT_EQ(seconds ? utc_timestamp(*seconds) : "refused", when) << text;
    }
    for (const char* text : {"",
                             "-",
                             "ago",
                             "1 hour",
                             "-1",
                             "-1 fortnight",
                             "1 hour ago ago",
                             "+1h",
                             "--1h",
                             "-999999999999999999999h",
                             "-1000000w",
                             "tomorrow",
                             "Today",
                             "2026-02-30",
                             "2026-12-08T25:00",
                             "2026-12-08T08:40:00+01:00 ",
                             " 2026-12-08",
                             "2026-12-08T",
                             "12/08/2026",
                             "1796715600"}) {
        EXPECT_EQ(parse_since(text, now), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace tarnvel::fw
