// The system log: an entry goes to the systemd journal with its fields, and where the journal
// can't take it (no journald runs), to syslog with its message.

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
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

bool write_file(const char* path, const std::string& text) {
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) return false;
    const bool written = std::fputs(text.c_str(), file) >= 0;
    return std::fclose(file) == 0 && written;
}

// A datagram socket listening at `path`; -1 when it can't be made.
int listen_at(const char* path) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return -1;
    }
    return fd;
}

// What arrived at a listener, or "" when nothing did.
std::string received(int fd) {
    std::string data(8192, '\0');
    const ssize_t n = ::recv(fd, data.data(), data.size(), MSG_DONTWAIT);
    data.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return data;
}

// The machine's sinks, in a private mount namespace with a /run and a /dev of its own: with
// `journald`, a listener at the journal's socket, and always one at /dev/log, as syslog(3)
// reaches it. Answers what each listener received, as "journal\0syslog"; the child that
// sends dies with any failure.
std::string sent_on_machine(bool journald) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        // Not root: a user namespace of its own grants the mounts.
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (uid != 0 &&
            (::unshare(CLONE_NEWUSER) != 0 || !write_file("/proc/self/setgroups", "deny") ||
             !write_file("/proc/self/uid_map", fmt::format("0 {} 1", uid)) ||
             !write_file("/proc/self/gid_map", fmt::format("0 {} 1", gid)))) {
            ::_exit(1);
        }
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
            ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
            ::_exit(2);
        }
        int journal = -1;
        if (journald) {
            std::filesystem::create_directories("/run/systemd/journal");
            journal = listen_at("/run/systemd/journal/socket");
            if (journal < 0) ::_exit(3);
        }
        const int syslog = listen_at("/dev/log");
        if (syslog < 0) ::_exit(4);
        // A connection the test process may hold to the machine's log is not this one's.
        ::closelog();
        SystemLog("tarnvel-fw").send(kEntry);
        const std::string answer =
            (journal >= 0 ? received(journal) : std::string()) + '\0' + received(syslog);
        const bool written = ::write(pipe_fds[1], answer.data(), answer.size()) ==
                             static_cast<ssize_t>(answer.size());
        ::_exit(written ? 0 : 5);
    }
    ::close(pipe_fds[1]);
    std::string answer;
    char chunk[4096];
    for (ssize_t n; (n = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0;) {
        answer.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "the sending child failed: " + std::to_string(status);
    }
    return answer;
}

// sd_journal_sendv answers 0 even where its socket is missing: the entry must then reach a
// real syslog listener, with the user facility and the program's name and pid.
TEST(SystemLog, OnTheMachineReachesJournaldOrElseDevLog) {
    for (const bool journald : {true, false}) {
        SCOPED_TRACE(journald ? "with journald" : "without journald");
        const std::string answer = sent_on_machine(journald);
        const std::size_t split = answer.find('\0');
        ASSERT_NE(split, std::string::npos) << answer;
        const std::string journal = answer.substr(0, split);
        const std::string syslog = answer.substr(split + 1);
        if (journald) {
            EXPECT_NE(journal.find("MESSAGE=firmware write of /dev/tarnvel0 started\n"),
                      std::string::npos)
                << journal;
            EXPECT_NE(journal.find("TARNVEL_PCI=0000:03:00.0\n"), std::string::npos) << journal;
            EXPECT_EQ(syslog, "");
        } else {
            EXPECT_TRUE(syslog.starts_with("<13>")) << syslog;  // LOG_USER | LOG_NOTICE
            EXPECT_NE(syslog.find("tarnvel-fw["), std::string::npos) << syslog;
            EXPECT_TRUE(syslog.ends_with("]: firmware write of /dev/tarnvel0 started")) << syslog;
        }
    }
}

}  // namespace
}  // namespace tarnvel
