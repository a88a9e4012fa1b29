#include "update/run_journal.hpp"

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
    if (!tried_ && file_) {
        tried_ = true;
        auto opened = Journal::open_for_writing(*file_);
        if (opened) {
            journal_.emplace(std::move(*opened));
        } else {
            report(opened.error());
        }
    }
    return journal_ ? &*journal_ : nullptr;
}

void RunJournal::report(const Error& problem) {
    if (problem_) return;
    problem_ = problem;
    if (on_problem_) on_problem_(problem);
}

std::filesystem::path journal_file_from_environment() {
    const char* state_dir = std::getenv(kStateDirVariable);
    const std::filesystem::path dir =
        state_dir != nullptr && *state_dir != '\0' ? state_dir : kDefaultStateDir;
    return dir / kJournalFileName;
}

}  // namespace tarnvel
