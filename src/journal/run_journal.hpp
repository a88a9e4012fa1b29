#pragma once
// The journal as one run of a program uses it: opened for writing at the first write (or when
// a command asks for it earlier), so that a run that writes nothing makes no directory and no
// file, and required or not, as the program says.
//
// Boards written at once write their records through one connection from several threads:
// every call here holds it for its own statements, so that no record is lost or mixed with
// another's. Other programs writing the same journal at the same time wait for each other's
// short transactions, as the journal says.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "journal/journal.hpp"

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

    // The journal, opened on the first call; null when there is none or it can't be used. For
    // a thread that has the journal to itself: the calls below are for every thread.
    Journal* journal();
    // Whether the journal is there to be used, opened now if it was not.
    bool available() { return journal() != nullptr; }

    // The Journal calls of the same names, for any thread; without a journal they fail with
    // why there is none.
    Result<std::int64_t> start_write(const WriteStart& start);
    Status end_write(std::int64_t id, const WriteEnd& end);
    Status note_reboot(std::int64_t id, const RebootNote& reboot);
    Result<std::vector<WriteRecord>> slot_records(std::string_view pci_address);
    // Why the journal can't be used, once it was found so.
    std::optional<Error> problem() const;
    bool required() const { return need_ == Need::Required; }
    const std::string& program() const { return program_; }

    // Tells of a problem through `on_problem` (the first one only).
    void report(const Error& problem);

  private:
    // `use` of the journal under the lock, opened if it was not; why there is none otherwise.
    template <typename Use>
    auto locked(Use use) -> decltype(use(std::declval<Journal&>())) {
        const std::lock_guard hold(*lock_);
        Journal* journal = open_locked();
        if (journal == nullptr) return std::unexpected(missing_locked());
        return use(*journal);
    }

    // Under the lock.
    Journal* open_locked();
    void report_locked(const Error& problem);
    Error missing_locked() const;

    std::optional<std::filesystem::path> file_;
    std::string program_;
    Need need_;
    std::function<void(const Error&)> on_problem_;
    std::optional<Journal> journal_;
    std::optional<Error> problem_;
    bool tried_ = false;
    std::unique_ptr<std::mutex> lock_ = std::make_unique<std::mutex>();
};

// Where the programs keep their state: TARNVEL_STATE_DIR, or /var/lib/tarnvel. The journal and
// the backups of a run both come from it. Only the programs read this; the library takes the
// directory or the file it is given.
std::filesystem::path state_dir_from_environment();
// The journal in the state directory `state_dir`: its journal.sqlite.
std::filesystem::path journal_file_in(const std::filesystem::path& state_dir);
// The journal in the state directory from the environment.
std::filesystem::path journal_file_from_environment();

}  // namespace tarnvel
