#include "bin/tarnvel-fw/since_time.hpp"

#include <date/date.h>

#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <ctime>
#include <sstream>
#include <string>

namespace tarnvel::fw {
namespace {

// A whole text read with a date::parse format into a time point of `Clock`.
template <class Clock>
std::optional<std::chrono::time_point<Clock, std::chrono::seconds>> read_as(const std::string& text,
                                                                            const char* format) {
    std::istringstream in(text);
    std::chrono::time_point<Clock, std::chrono::seconds> when{};
    in >> date::parse(format, when);
    if (in.fail() || in.peek() != std::char_traits<char>::eof()) return std::nullopt;
    return when;
}

// A local date and time of the machine (TZ) in seconds since the epoch, summer time or not as
// the zone has it on that day; fields out of their range carry over (day 0 of a month is the
// last of the month before).
std::optional<std::int64_t> seconds_of(std::tm local) {
    local.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&local);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<std::int64_t>(seconds);
}

// The local time of the machine (TZ) in seconds since the epoch, through the C library that
// knows its zone and its summer time.
std::optional<std::int64_t> from_local(date::local_seconds when) {
    const auto day = date::floor<date::days>(when);
    const date::year_month_day ymd{day};
    const date::hh_mm_ss clock{when - day};
    std::tm local{};
    local.tm_year = static_cast<int>(ymd.year()) - 1900;
    local.tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
    local.tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
    local.tm_hour = static_cast<int>(clock.hours().count());
    local.tm_min = static_cast<int>(clock.minutes().count());
    local.tm_sec = static_cast<int>(clock.seconds().count());
    return seconds_of(local);
}

// The local midnight `days_back` days before the day of `now`.
std::optional<std::int64_t> local_midnight(std::int64_t now, int days_back) {
    const auto when = static_cast<std::time_t>(now);
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) return std::nullopt;
    local.tm_mday -= days_back;
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    return seconds_of(local);
}

// Seconds in a unit of a span as journalctl writes them; none for another word.
std::optional<std::int64_t> unit_seconds(std::string_view unit) {
    struct Unit {
        std::array<std::string_view, 5> names;
        std::int64_t seconds;
    };
    static constexpr std::array<Unit, 5> kUnits{{
        {{"s", "sec", "secs", "second", "seconds"}, 1},
        {{"m", "min", "mins", "minute", "minutes"}, 60},
        {{"h", "hr", "hour", "hours", "hrs"}, 3600},
        {{"d", "day", "days", "", ""}, 86400},
        {{"w", "week", "weeks", "", ""}, 7 * 86400},
    }};
    for (const Unit& u : kUnits) {
        for (std::string_view name : u.names) {
            if (!name.empty() && name == unit) return u.seconds;
        }
    }
    return std::nullopt;
}

// A span as a number and a unit, once or more: "1h30min", "1 hour 30 min", "2 days"; in
// seconds.
std::optional<std::int64_t> span_seconds(std::string_view text) {
    std::int64_t total = 0;
    bool any = false;
    const auto skip_blanks = [&] {
        while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    };
    skip_blanks();
    while (!text.empty()) {
        std::int64_t count = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
        if (error != std::errc() || end == text.data() || count < 0) return std::nullopt;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
        skip_blanks();
        std::size_t letters = 0;
        while (letters < text.size() && std::isalpha(static_cast<unsigned char>(text[letters]))) {
            ++letters;
        }
        const auto unit = unit_seconds(text.substr(0, letters));
        // A century is far more than any journal holds: larger spans are refused, never
        // wrapped.
        if (!unit || count > 100LL * 366 * 86400 / *unit) return std::nullopt;
        total += count * *unit;
        any = true;
        text.remove_prefix(letters);
        skip_blanks();
    }
    if (!any || total > 100LL * 366 * 86400) return std::nullopt;
    return total;
}

}  // namespace

std::optional<std::int64_t> parse_since(std::string_view text, std::int64_t now) {
    if (text == "now") return now;
    if (text == "today") return local_midnight(now, 0);
    if (text == "yesterday") return local_midnight(now, 1);
    // A while ago: "-1h" or "1h ago".
    const bool before = text.starts_with('-');
    if (before || text.ends_with(" ago")) {
        const auto span = span_seconds(before ? text.substr(1) : text.substr(0, text.size() - 4));
        return span ? std::optional(now - *span) : std::nullopt;
    }
    // The time's forms: T or a blank between day and time, with or without seconds, and with
    // an offset (Z being +00:00) or in local time.
    std::string time(text);
    if (time.ends_with('Z') || time.ends_with('z')) time.replace(time.size() - 1, 1, "+00:00");
    for (const char* day_time : {"%Y-%m-%dT", "%Y-%m-%d "}) {
        for (const char* clock : {"%H:%M:%S", "%H:%M"}) {
            const std::string local = std::string(day_time) + clock;
            for (const char* offset : {"%Ez", "%z"}) {
                if (const auto when =
                        read_as<std::chrono::system_clock>(time, (local + offset).c_str())) {
                    return when->time_since_epoch().count();
                }
            }
            if (const auto when = read_as<date::local_t>(time, local.c_str()))
                return from_local(*when);
        }
    }
    if (const auto day = read_as<date::local_t>(time, "%Y-%m-%d")) return from_local(*day);
    return std::nullopt;
}

}  // namespace tarnvel::fw
