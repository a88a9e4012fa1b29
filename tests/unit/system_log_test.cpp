// The system log: an entry goes to the systemd journal with its fields, and where the journal
// can't take it (no journald runs), to syslog with its message.

#include <syslog.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "base/system_log.hpp"

namespace tarnvel {
namespace {

struct Sent {
    std::vector<std::string> journal;
    std::vector<std::string> syslog;
};

SystemLog log_into(Sent& sent, int journal_answer) {
    return SystemLog(
        "tarnvel-fw",
        {.journal =
             [&sent, journal_answer](std::span<const std::string> fields) {
                 sent.journal.assign(fields.begin(), fields.end());
                 return journal_answer;
             },
         .syslog =
             [&sent](const std::string& identifier, int priority, const std::string& line) {
                 sent.syslog.push_back(identifier + " " + std::to_string(priority) + " " + line);
             }});
}

const LogEntry kEntry{.priority = LOG_NOTICE,
                      .message = "firmware write of /dev/tarnvel0 started",
                      .fields = {{"TARNVEL_PCI", "0000:03:00.0"}}};

TEST(SystemLog, GoesToTheJournalWithItsFields) {
    Sent sent;
    log_into(sent, 0).send(kEntry);
    EXPECT_EQ(sent.journal, (std::vector<std::string>{
                                "MESSAGE=firmware write of /dev/tarnvel0 started", "PRIORITY=5",
                                "SYSLOG_IDENTIFIER=tarnvel-fw", "TARNVEL_PCI=0000:03:00.0"}));
    EXPECT_TRUE(sent.syslog.empty());
}

TEST(SystemLog, FallsBackToSyslogWithoutJournald) {
    Sent sent;
    log_into(sent, -ENOENT).send(kEntry);
    EXPECT_EQ(sent.syslog,
              (std::vector<std::string>{"tarnvel-fw 5 firmware write of /dev/tarnvel0 started"}));
}

}  // namespace
}  // namespace tarnvel
