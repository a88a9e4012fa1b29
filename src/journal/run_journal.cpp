#include "journal/run_journal.hpp"

#include <cstdlib>

namespace tarnvel {
namespace {

constexpr const char* kStateDirVariable = "TARNVEL_STATE_DIR";
constexpr const char* kDefaultStateDir = "/var/lib/tarnvel";

}  // namespace

RunJournal::RunJournal(std::filesystem::path file, std::string program, Need need,
                       std::function<void(const Error&)> on_problem)
    : file_(std::move(file)),
      program_(std::move(program)),
      need_(need),
      on_problem_(std::move(on_problem)) {}

RunJournal RunJournal::without(std::string program) {
    RunJournal none({}, std::move(program), Need::BestEffort, {});
    none.file_.reset();
    return none;
}

Journal* RunJournal::journal() {
    const std::lock_guard hold(*lock_);
    return open_locked();
}

Journal* RunJournal::open_locked() {
    if (!tried_ && file_) {
        tried_ = true;
        auto opened = Journal::open_for_writing(*file_);
        if (opened) {
            journal_.emplace(std::move(*opened));
        } else {
            report_locked(opened.error());
        }
    }
    return journal_ ? &*journal_ : nullptr;
}

std::optional<Error> RunJournal::problem() const {
    const std::lock_guard hold(*lock_);
    return problem_;
}

Error RunJournal::missing_locked() const {
    return problem_.value_or(Error::message(ErrorKind::Other, "no journal is kept"));
}

Result<std::int64_t> RunJournal::start_write(const WriteStart& start) {
    return locked([&](Journal& journal) { return journal.start_write(start); });
}

Status RunJournal::end_write(std::int64_t id, const WriteEnd& end) {
    return locked([&](Journal& journal) { return journal.end_write(id, end); });
}

Status RunJournal::note_reboot(std::int64_t id, const RebootNote& reboot) {
    return locked([&](Journal& journal) { return journal.note_reboot(id, reboot); });
}

Result<std::vector<WriteRecord>> RunJournal::slot_records(std::string_view pci_address) {
    return locked([&](Journal& journal) { return journal.slot_records(pci_address); });
}

void RunJournal::report(const Error& problem) {
    const std::lock_guard hold(*lock_);
    report_locked(problem);
}

void RunJournal::report_locked(const Error& problem) {
    if (problem_) return;
    problem_ = problem;
    if (on_problem_) on_problem_(problem);
}

std::filesystem::path state_dir_from_environment() {
    const char* state_dir = std::getenv(kStateDirVariable);
    return state_dir != nullptr && *state_dir != '\0' ? state_dir : kDefaultStateDir;
}

std::filesystem::path journal_file_in(const std::filesystem::path& state_dir) {
    return state_dir / kJournalFileName;
}

std::filesystem::path journal_file_from_environment() {
    return journal_file_in(state_dir_from_environment());
}

}  // namespace tarnvel
