#include "update/flashing.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "device/identity.hpp"
#include "device/register_channel.hpp"
#include "programming/board_flash.hpp"
#include "update/board_identity.hpp"

namespace tarnvel {
namespace {

constexpr const char* kStateDirVariable = "TARNVEL_STATE_DIR";
constexpr const char* kDefaultStateDir = "/var/lib/tarnvel";
constexpr const char* kBootIdFile = "/proc/sys/kernel/random/boot_id";

// The machine's boot: writes of one boot share it, and a power cycle of the machine changes it.
std::string boot_id() {
    std::ifstream file(kBootIdFile);
    std::string id;
    std::getline(file, id);
    return id.empty() ? "unknown" : id;
}

// Who runs the program: the user name of the real user, or the uid when it has none.
std::string user_name() {
    const uid_t uid = ::getuid();
    passwd entry{};
    passwd* found = nullptr;
    std::string buffer(4096, '\0');
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

WriteStart start_of(const BoardDevice& board, const ChosenImage& image,
                    const std::string& program) {
    const BoardIdentity identity = identity_of(board);
    const bool from_archive = image.origin.entry.has_value();
    return WriteStart{
        .pci_address = identity.pci_address,
        .devnode = identity.devnode,
        .kind = identity.kind,
        .model = std::string(identity.model()),
        .hardware = identity.hardware(),
        .firmware_before = identity.fw_version,
        .image_version = image.version,
        .image_size = image.image.data.size(),
        .image_sha256 = image.sha256,
        .image_archive = from_archive ? std::optional(image.origin.path) : std::nullopt,
        .image_entry = image.origin.entry,
        .image_file = from_archive ? std::nullopt : std::optional(image.origin.path),
        .program = program,
        .user = user_name(),
        .boot_id = boot_id(),
    };
}

}  // namespace

std::expected<void, FlashOpenFailure> open_for_flashing(BoardDevice& board, FlashOpening how) {
    if (auto opened = open_board(board); !opened) {
        return std::unexpected(FlashOpenFailure{std::move(opened.error()), false});
    }
    auto built = how == FlashOpening::ResetBus ? attach_flash(board) : build_flash(board);
    if (!built) return std::unexpected(FlashOpenFailure{std::move(built.error()), true});
    return {};
}

std::expected<FlashGeometry, FlashPartFailure> identify_flash_part(BoardDevice& board,
                                                                   std::uint64_t length,
                                                                   FlashUse use) {
    auto geometry = identify_flash(board);
    if (!geometry) return std::unexpected(FlashPartFailure{std::move(geometry.error()), false});
    if (auto fits = check_flash_fits(*geometry, board.kind, length, use); !fits) {
        return std::unexpected(FlashPartFailure{std::move(fits.error()), true});
    }
    if (auto holds = check_flash_holds(board, *geometry, length); !holds) {
        const bool refused = holds.error().kind() == ErrorKind::Unsupported;
        return std::unexpected(FlashPartFailure{std::move(holds.error()), refused});
    }
    return std::move(*geometry);
}

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

ImageWrite write_image(BoardDevice& board, const ChosenImage& image, ProgrammingObserver& observer,
                       RunJournal& journal, const StopSignalHold* hold, ProgrammingMode mode) {
    ImageWrite write;
    Journal* records = journal.journal();
    if (records != nullptr) {
        auto started = records->start_write(start_of(board, image, journal.program()));
        if (started) {
            write.record = *started;
        } else {
            journal.report(started.error());
        }
    }
    if (!write.record && journal.required()) {
        // No board is written that the journal could not tell of afterwards.
        write.refused = true;
        write.programmed = std::unexpected(journal.problem().value_or(
            Error::message(ErrorKind::Other, "the journal can't record the write")));
        return write;
    }

    write.programmed = program_firmware(board, image.image, observer, &write.report, mode);

    if (write.record) {
        const WriteEnd end{
            .verified = write.programmed.has_value(),
            .error = write.programmed ? std::nullopt
                                      : std::optional(error_text(write.programmed.error())),
            .flash_changed = write.report.flash_changed,
            .blocks = write.report.block_count,
            .blocks_written = write.report.blocks_written,
            .blocks_unchanged = write.report.blocks_unchanged,
            .retries = write.report.retries,
            .stopped = hold != nullptr && hold->stop_waiting(),
        };
        if (auto ended = records->end_write(*write.record, end); !ended) {
            journal.report(ended.error());
        }
    }
    return write;
}

void note_reboot(RunJournal& journal, const std::optional<std::int64_t>& record,
                 const RebootNote& reboot) {
    Journal* records = journal.journal();
    if (!record || records == nullptr) return;
    if (auto noted = records->note_reboot(*record, reboot); !noted) journal.report(noted.error());
}

Status reboot_board(BoardDevice& board, RunJournal& journal,
                    const std::optional<std::int64_t>& record) {
    auto version = reboot_and_read_version(board.syspath);
    note_reboot(
        journal, record,
        RebootNote{.requested = true,
                   .version_after = version ? *version : std::nullopt,
                   .error = version ? std::nullopt : std::optional(error_text(version.error()))});
    if (!version) return std::unexpected(std::move(version.error()));
    return refresh_identity(board, *version);
}

std::filesystem::path journal_file_from_environment() {
    const char* state_dir = std::getenv(kStateDirVariable);
    const std::filesystem::path dir =
        state_dir != nullptr && *state_dir != '\0' ? state_dir : kDefaultStateDir;
    return dir / kJournalFileName;
}

}  // namespace tarnvel
