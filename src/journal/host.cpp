#include "journal/host.hpp"

#include <pwd.h>
#include <unistd.h>

#include <fmt/format.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

namespace tarnvel {
namespace {

constexpr const char* kBootIdFile = "/proc/sys/kernel/random/boot_id";
// No login uid: a process that did not come from a login (a service, or the kernel's).
constexpr std::uint64_t kNoLoginUid = 4294967295u;

std::optional<std::string> first_line(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    return line;
}

template <class T>
std::optional<T> number(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string name_of_uid(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::string buffer(4096, '\0');
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

// What /proc/PID/stat says of a process: its state letter and its start, after the boot in
// clock ticks (the 22nd field). The name in parentheses may hold blanks and parentheses of its
// own: the fields after it start behind the last ')'.
struct ProcessState {
    char state = '?';
    std::uint64_t start_ticks = 0;
};

std::optional<ProcessState> process_state(std::int64_t pid) {
    const auto line = first_line(fmt::format("/proc/{}/stat", pid));
    if (!line) return std::nullopt;
    const auto name_end = line->rfind(')');
    if (name_end == std::string::npos) return std::nullopt;
    std::istringstream fields(line->substr(name_end + 1));
    ProcessState process;
    std::string field;
    // After the name: state (field 3), then up to starttime (field 22).
    for (int index = 3; index <= 22; ++index) {
        if (!(fields >> field)) return std::nullopt;
        if (index == 3) process.state = field.front();
    }
    const auto start = number<std::uint64_t>(field);
    if (!start) return std::nullopt;
    process.start_ticks = *start;
    return process;
}

bool process_runs(const ProcessStamp& process) {
    const auto state = process_state(process.pid);
    // A zombie has ended; only its exit status waits to be collected.
    return state && state->start_ticks == process.start_ticks && state->state != 'Z' &&
           state->state != 'X';
}

}  // namespace

std::optional<ProcessStamp> this_process() {
    const std::int64_t pid = ::getpid();
    const auto state = process_state(pid);
    if (!state) return std::nullopt;
    return ProcessStamp{.pid = pid, .start_ticks = state->start_ticks};
}

std::string this_boot_id() {
    const auto id = first_line(kBootIdFile);
    return id && !id->empty() ? *id : kUnknownBoot;
}

std::string user_name() {
    return name_of_uid(::getuid());
}

std::optional<std::string> requested_by() {
    if (const char* sudo_user = std::getenv("SUDO_USER"); sudo_user != nullptr && *sudo_user) {
        return std::string(sudo_user);
    }
    const auto login_uid = first_line("/proc/self/loginuid");
    const auto uid = login_uid ? number<std::uint64_t>(*login_uid) : std::nullopt;
    if (!uid || *uid == kNoLoginUid) return std::nullopt;
    return name_of_uid(static_cast<uid_t>(*uid));
}

HostNow HostNow::current() {
    return HostNow{.boot_id = this_boot_id(), .running = process_runs};
}

HostNow HostFacts::now() const {
    return HostNow{.boot_id = boot_id, .running = process_runs};
}

HostFacts HostFacts::current() {
    return HostFacts{.user = user_name(),
                     .boot_id = this_boot_id(),
                     .requested_by = tarnvel::requested_by(),
                     .writer = this_process()};
}

}  // namespace tarnvel
