#pragma once
// The journal as one run of a program uses it: opened for writing at the first write (or when
// a command asks for it earlier), so that a run that writes nothing makes no directory and no
// file, and required or not, as the program says.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "update/journal.hpp"

namespace tarnvel {

class RunJournal {
  public:
    enum class Need : std::uint8_t {
        Required,    // no board is written without its record
        BestEffort,  // a write goes ahead unrecorded when the journal fails
    };

    // A journal that can't be used is told through `on_problem`, once per run.
    RunJournal(std::filesystem::path file, std::string program, Need need,
               std::function<void(const Error&)> on_problem);
    // No journal at all: nothing is recorded, and nothing is required.
    static RunJournal without(std::string program);

    // The journal, opened on the first call; null when there is none or it can't be used.
    Journal* journal();
    // Why the journal can't be used, once it was found so.
    const std::optional<Error>& problem() const { return problem_; }
    bool required() const { return need_ == Need::Required; }
    const std::string& program() const { return program_; }

    // Tells of a problem through `on_problem` (the first one only).
    void report(const Error& problem);

  private:
    std::optional<std::filesystem::path> file_;
    std::string program_;
    Need need_;
    std::function<void(const Error&)> on_problem_;
    std::optional<Journal> journal_;
    std::optional<Error> problem_;
    bool tried_ = false;
};

// Where the programs keep the journal: TARNVEL_STATE_DIR, or /var/lib/tarnvel, and in it
// journal.sqlite. Only the programs read this; the library takes the file it is given.
std::filesystem::path journal_file_from_environment();

}  // namespace tarnvel
