// The power-cut campaign, in-process: on the programmed board kinds (kinds() says which for
// which run), the programs' own runs of boards (UpdateRun with their named policies), with the
// power cut at chosen register accesses, each cut in a child process of its own (the cut saves
// every board's flash and kills the process on the spot, as tarnvel-sim --power-cut does).
// Then the boards are powered on from what the cut left and looked at as the operator would:
// what each starts (its old image when the cut came before the first change, its factory image
// when the image region is partial, the new image once the last block was complete, nothing
// when it has no factory image either), what `list` decides from the journal, whether the
// journal kept the write's record and passes its integrity check. The boards that came back
// are run again, with a reboot, powered on once more, and must then run what was asked, their
// flash holding it.
//
// Three runs are cut, each a suite of its own (pick one with --gtest_filter):
//   Updater/   tarnvel-flash (updater_policy): one board, every block written;
//   Fleet/     tarnvel-fw update --yes (fleet_update_policy): what the flash holds read and kept
//              first, two boards of the kind written at once on threads of their own; the cut
//              comes at an access of the first board and takes both boards' power at once;
//   Rollback/  tarnvel-fw rollback --yes (rollback_policy) of two boards updated and rebooted
//              before: each one's backup, chosen by the library, written back at once and cut;
//              the next rollback must complete every board, undo none that was done, write no
//              backup of partial content, and leave each on the firmware it ran before the
//              update.
//
// Cut points, per kind: the phases of a multi-block write in turn (before the first erase,
// during an erase, during a page or buffer program, during a block's read-back, between
// blocks, in the last block, during the last block's read-back, and, where a backup is kept,
// during the backup's read), each picked among the run's accesses in that phase from a fixed
// seed; about one board in four has no factory image. A chip's half-done operation is seeded
// with the cut's access number, as tarnvel-sim's is by default. The environment asks for more
// (docs/reliability.md):
//   TARNVEL_CUT_SEED=S                   another seed (default 1)
//   TARNVEL_CUT_POINTS=N                 cut points per kind and run (default two per phase
//                                        for the updater, one per phase for the fleet's runs;
//                                        half of that in the sanitizer build)
//   TARNVEL_CUT_REPLAY=KIND:ACCESS[:no-factory]   only that cut of that kind's run, in every
//                                        suite (the access counted on the first board)

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/dialogue.hpp"
#include "device/sysfs_parse.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/in_process.hpp"
#include "sim/model/firmware_load.hpp"
#include "sim/model/flash_file.hpp"
#include "sim/model/power_supply.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/support/split_mix.hpp"
#include "sim/support/temp_dir.hpp"
#include "support/cut_figures.hpp"
#include "support/journal_integrity.hpp"
#include "update/backup_store.hpp"
#include "update/board_access.hpp"
#include "update/decision.hpp"
#include "update/rollback.hpp"
#include "update/update_run.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing::CutFigures;

constexpr std::uint16_t kShippedFirmware = 100;
constexpr std::int32_t kImageVersion = 101;
// Boards of a kind the fleet's runs write at once.
constexpr std::size_t kFleetBoards = 2;

// The campaign's choices, the same for the same seed everywhere.
using sim::next_random;

// Which program's run is cut.
enum class Route : std::uint8_t {
    Updater,   // tarnvel-flash
    Fleet,     // tarnvel-fw update --yes, its backup kept, boards written at once
    Rollback,  // tarnvel-fw rollback --yes of a board updated before
};

enum class Phase : std::uint8_t {
    BeforeTheFirstErase,
    Erase,
    Program,
    ReadBack,
    BetweenBlocks,
    LastBlock,
    LastReadBack,
    BackupRead,  // what the flash holds read and kept, before anything is erased
    Replayed,    // a cut asked for by its access number
};
constexpr unsigned kPhaseCount = 8;
#ifdef TARNVEL_CUT_POINTS_PER_PHASE
constexpr unsigned kPointsPerPhase = TARNVEL_CUT_POINTS_PER_PHASE;
#else
constexpr unsigned kPointsPerPhase = 2;
#endif

// The phases a route's run goes through: a backup is read only by the fleet's runs.
unsigned phases_of(Route route) {
    return route == Route::Updater ? kPhaseCount - 1 : kPhaseCount;
}

// Cut points per kind by default: the updater's every phase twice, the fleet's runs, which
// write more boards or more often per cut, each phase once (half of that under the sanitizers).
unsigned default_points(Route route) {
    return route == Route::Updater ? kPointsPerPhase * phases_of(route)
                                   : kPointsPerPhase * phases_of(route) / 2;
}

std::string_view phase_text(Phase phase) {
    switch (phase) {
        case Phase::BeforeTheFirstErase: return "before the first erase";
        case Phase::Erase: return "during an erase";
        case Phase::Program: return "during a page or buffer program";
        case Phase::ReadBack: return "during a block's read-back";
        case Phase::BetweenBlocks: return "between blocks";
        case Phase::LastBlock: return "in the last block";
        case Phase::LastReadBack: return "during the last block's read-back";
        case Phase::BackupRead: return "during the backup's read";
        case Phase::Replayed: return "replayed";
    }
    return "";
}

struct CutPoint {
    std::uint64_t access = 0;
    Phase phase = Phase::Replayed;
    bool factory_image = true;
};

struct Settings {
    std::uint64_t seed = 1;
    std::optional<unsigned> points;  // none: the route's default
    std::optional<BoardKind> replay_kind;
    CutPoint replay;
};

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::string_view environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

Settings settings_from_environment() {
    Settings settings;
    if (auto seed = number(environment("TARNVEL_CUT_SEED"))) settings.seed = *seed;
    if (auto points = number(environment("TARNVEL_CUT_POINTS")); points && *points > 0) {
        settings.points = static_cast<unsigned>(*points);
    }
    // KIND:ACCESS[:no-factory]
    const std::string_view replay = environment("TARNVEL_CUT_REPLAY");
    const std::size_t colon = replay.find(':');
    if (colon == std::string_view::npos) return settings;
    const std::string_view rest = replay.substr(colon + 1);
    const auto kind = number(replay.substr(0, colon));
    const auto access = number(rest.substr(0, rest.find(':')));
    if (!kind || !access || *kind == 0 || *kind >= kBoardKindCount) {
        ADD_FAILURE() << "TARNVEL_CUT_REPLAY is KIND:ACCESS[:no-factory], not " << replay;
        return settings;
    }
    settings.replay_kind = static_cast<BoardKind>(*kind);
    settings.replay = {.access = *access,
                       .phase = Phase::Replayed,
                       .factory_image = !rest.ends_with(":no-factory")};
    return settings;
}

// The chip that holds a kind's firmware, as far as a cut goes: the operations it has started,
// and whether the last of them is still in progress (no status poll has seen it done).
struct ChipMoment {
    std::uint64_t erases = 0;
    std::uint64_t programs = 0;
    bool busy = false;
    bool erasing = false;  // the last operation started was an erase

    std::uint64_t operations() const { return erases + programs; }
};

ChipMoment chip_moment(sim::SimBoard& board) {
    if (board_info(board.kind()).flash == FlashType::Bpi) {
        const sim::ParallelNorChip& chip = *board.parallel_chip();
        return {chip.erases_done(), chip.programs_done(), chip.busy()};
    }
    const sim::SpiNorChip& chip = *board.spi_chip();
    return {chip.erases_done(), chip.programs_done(), chip.busy()};
}

// A whole run watched access by access on one board: the firmware chip's moment before each
// register access (and after the last), counted from when the watch began, the access with
// which each block's pass began, and the one with which the backup's read began.
class UpdateTrace final : public sim::RegisterModel, public ProgrammingObserver {
  public:
    explicit UpdateTrace(sim::SimBoard& board) : board_(board), base_(chip_moment(board)) {
        note();
    }

    int read(std::uint32_t reg, std::uint32_t& value) override {
        const int result = board_.read(reg, value);
        note();
        return result;
    }
    int write(std::uint32_t reg, std::uint32_t value) override {
        const int result = board_.write(reg, value);
        note();
        return result;
    }
    sim::SimBoard* hardware() override { return &board_; }

    void pass_started(const BlockPass& pass) override {
        EXPECT_EQ(pass.retry, 0u) << "a block written again with no fault";
        pass_starts.push_back(moments.size());
    }
    void retrying(const BlockPass&) override {}
    void held_read_started(const BlockPass&) override {
        if (!held_read_start) held_read_start = moments.size();
    }

    std::uint64_t accesses() const { return moments.size() - 1; }

    // [n - 1]: before access n (counted from 1); the last one after the last access.
    std::vector<ChipMoment> moments;
    std::vector<std::uint64_t> pass_starts;
    std::optional<std::uint64_t> held_read_start;

  private:
    void note() {
        ChipMoment now = chip_moment(board_);
        now.erases -= base_.erases;
        now.programs -= base_.programs;
        if (!moments.empty()) {
            const ChipMoment& last = moments.back();
            now.erasing = now.erases > last.erases       ? true
                          : now.programs > last.programs ? false
                                                         : last.erasing;
        }
        moments.push_back(now);
    }

    sim::SimBoard& board_;
    ChipMoment base_;
};

// The run's accesses in each phase, by access number.
std::array<std::vector<std::uint64_t>, kPhaseCount> accesses_by_phase(const UpdateTrace& trace) {
    std::array<std::vector<std::uint64_t>, kPhaseCount> by_phase;
    auto add = [&by_phase](Phase phase, std::uint64_t access) {
        by_phase[static_cast<std::size_t>(phase)].push_back(access);
    };
    const auto& moments = trace.moments;
    const std::vector<std::uint64_t>& starts = trace.pass_starts;
    if (starts.empty()) return by_phase;
    if (trace.held_read_start) {
        for (std::uint64_t n = *trace.held_read_start; n < starts.front(); ++n) {
            add(Phase::BackupRead, n);
        }
    }
    const std::uint64_t end = trace.accesses() + 1;
    for (std::size_t block = 0; block < starts.size(); ++block) {
        const std::uint64_t first = starts[block];
        const std::uint64_t next = block + 1 < starts.size() ? starts[block + 1] : end;
        const bool last = block + 1 == starts.size();
        // The access that started the block's last program.
        std::uint64_t last_program = first;
        for (std::uint64_t n = first; n < next; ++n) {
            if (moments[n].programs > moments[n - 1].programs) last_program = n;
        }
        if (block > 0) add(Phase::BetweenBlocks, first);
        for (std::uint64_t n = first; n < next; ++n) {
            const ChipMoment& before = moments[n - 1];
            if (before.operations() == 0) add(Phase::BeforeTheFirstErase, n);
            if (before.busy) add(before.erasing ? Phase::Erase : Phase::Program, n);
            if (n <= last_program && last) add(Phase::LastBlock, n);
            if (n > last_program && !before.busy) {
                add(last ? Phase::LastReadBack : Phase::ReadBack, n);
            }
        }
    }
    return by_phase;
}

// The campaign's cut points for one kind's run: the route's phases in turn, each at a random
// access of it; a cut point chosen before is not made again.
std::vector<CutPoint> choose_cut_points(const UpdateTrace& trace, BoardKind kind, Route route,
                                        const Settings& settings) {
    const auto by_phase = accesses_by_phase(trace);
    const unsigned phases = phases_of(route);
    std::uint64_t state = settings.seed * 0x100 + static_cast<unsigned>(kind);
    std::vector<CutPoint> points;
    for (unsigned i = 0; i < settings.points.value_or(default_points(route)); ++i) {
        const auto phase = static_cast<Phase>(i % phases);
        const std::vector<std::uint64_t>& candidates = by_phase[i % phases];
        const std::uint64_t pick = next_random(state);
        const bool factory_image = next_random(state) % 4 != 0;
        if (candidates.empty()) {
            ADD_FAILURE() << "no access " << phase_text(phase);
            continue;
        }
        const CutPoint point{candidates[pick % candidates.size()], phase, factory_image};
        if (std::ranges::none_of(points, [&point](const CutPoint& chosen) {
                return chosen.access == point.access && chosen.factory_image == point.factory_image;
            })) {
            points.push_back(point);
        }
    }
    return points;
}

// One kind's bench: its firmware archive with the new image, the node files its boards are
// opened by, and a directory per cut.
class KindBench {
  public:
    KindBench(BoardKind kind, std::size_t boards) : kind_(kind) {
        const BoardInfo& info = board_info(kind);
        const HwVersionEntry& hw = info.hw_versions.front();
        hardware_ = hw.text;
        hw_major_ = hw.major;
        hw_minor_ = hw.minor;
        // Multi-block: two whole blocks and a short third on the serial flash (64 KiB
        // blocks), a whole and a short second on the parallel flash (128 KiB).
        const std::size_t size = info.flash == FlashType::Bpi ? 0x20000 + 0x400 : 0x20000 + 0x300;
        image_ = sim::firmware_bytes(size, static_cast<std::uint32_t>(kind));
        if (dir_.path().empty()) return;
        fs::create_directories(firmware_dir());
        auto written = sim::write_firmware_archive(
            firmware_dir(), kind, hw_major_, hw_minor_,
            {{.name = sim::firmware_entry_name(kind, kImageVersion), .data = image_}});
        EXPECT_TRUE(written) << error_text(written.error());
        for (std::size_t i = 0; i < boards; ++i) {
            fs::path node = dir_.path() / fmt::format("tarnvel{}", i);
            std::ofstream(node).flush();
            nodes_.push_back(node.string());
        }
    }

    BoardKind kind() const { return kind_; }
    const Bytes& image() const { return image_; }
    std::size_t boards() const { return nodes_.size(); }
    const std::string& node(std::size_t board) const { return nodes_[board]; }
    std::size_t board_of(std::string_view node) const {
        return static_cast<std::size_t>(std::ranges::find(nodes_, node) - nodes_.begin());
    }
    static std::string slot(std::size_t board) {
        return fmt::format("0000:{:02x}:00.0", board + 1);
    }
    std::string firmware_dir() const { return (dir_.path() / "firmware").string(); }
    // A new directory for a machine: its flash and its state (journal and backups).
    fs::path machine_dir() {
        const fs::path dir = dir_.path() / fmt::format("machine-{}", ++machines_);
        fs::create_directories(dir);
        return dir;
    }
    std::string version(std::int32_t firmware) const {
        return fmt::format("{}r{}", hardware_, firmware);
    }

    // The record discovery makes of the board in its slot, running `version`.
    BoardDevice record(std::size_t board, const std::string& version) const {
        BoardDevice device;
        device.syspath =
            fmt::format("/sys/devices/pci0000:00/{}/tarnvel/tarnvel{}", slot(board), board);
        device.devnode = nodes_[board];
        device.pci_address = slot(board);
        device.kind = kind_;
        device.hw_major = hw_major_;
        device.hw_minor = hw_minor_;
        device.fw_version = parse_fw_version(version).value_or(0);
        return device;
    }

    // What `board` starts from its flash at a power-on or reboot.
    sim::LoadedFirmware start(sim::SimBoard& board, bool factory_image) const {
        const sim::FirmwareSetup setup{
            .shipped_version = version(kShippedFirmware),
            .factory_version = factory_image ? std::optional(version(0)) : std::nullopt,
            .images = {}};
        const std::vector<sim::KnownImage> archives{{image_, kImageVersion}};
        return sim::load_firmware(board.firmware_flash(), kind_, setup, setup.shipped_version,
                                  archives);
    }

  private:
    BoardKind kind_;
    std::string hardware_;
    std::uint8_t hw_major_ = 0;
    std::uint8_t hw_minor_ = 0;
    Bytes image_;
    sim::TempDir dir_{"tarnvel-cut."};
    unsigned machines_ = 0;
    std::vector<std::string> nodes_;
};

// What came of one board in a run.
struct BoardDone {
    bool wrote = false;  // the run set out to write the board
    bool verified = false;
    std::string error;
    std::optional<RollbackTarget> rolled_back_to;  // a rollback's choice of backup
};

// Shows the programming run to the campaign's observer, which the run does not own.
class ObserverView final : public ProgrammingObserver {
  public:
    explicit ObserverView(ProgrammingObserver& observer) : observer_(observer) {}
    void pass_started(const BlockPass& pass) override { observer_.pass_started(pass); }
    void retrying(const BlockPass& pass) override { observer_.retrying(pass); }
    void compare_started(const BlockPass& pass) override { observer_.compare_started(pass); }
    void block_unchanged(const BlockPass& pass) override { observer_.block_unchanged(pass); }
    void held_read_started(const BlockPass& pass) override { observer_.held_read_started(pass); }

  private:
    ProgrammingObserver& observer_;
};

// An operator who agrees to every write, and to the reboot when the run has one: the watched
// board's programming shown to the observer, the others' to no one.
class CampaignDialogue final : public UpdateDialogue {
  public:
    CampaignDialogue(ProgrammingObserver& observer, bool reboot)
        : observer_(observer), reboot_(reboot) {}
    bool confirm_write(const WriteOffer&) override { return true; }
    std::unique_ptr<ProgrammingObserver> progress(const BoardIdentity& board,
                                                  StopSignalHold*) override {
        if (board.pci_address != KindBench::slot(0)) return std::make_unique<SilentProgress>();
        return std::make_unique<ObserverView>(observer_);
    }
    void stopping() override {}
    bool confirm_reboot(const BoardUpdateReport&) override { return reboot_; }

  private:
    ProgrammingObserver& observer_;
    bool reboot_;
};

enum class Run : std::uint8_t { Updater, FleetUpdate, FleetRollback };

// What a board starts again when the run reboots it, by its place on the bench; none: the run
// does not reboot.
using Restart = std::function<std::optional<std::string>(std::size_t)>;

// The program's run of `boards` by the library's own driver and the program's named policy,
// with the bench's archives and the machine's state directory: tarnvel-flash's, `tarnvel-fw
// update --yes` or `tarnvel-fw rollback --yes` (each board's backup chosen and read by the
// library, as the program does), with `--reboot` when `restart` is given, `--no-reboot`
// otherwise. The fleet's runs keep what the flash holds first and write every board at once.
std::vector<BoardDone> run_boards(Run what, std::span<BoardDevice* const> boards,
                                  const KindBench& bench, const fs::path& state_dir,
                                  ProgrammingObserver& observer, const Restart& restart) {
    const fs::path journal_file = state_dir / kJournalFileName;
    RunJournal journal(
        journal_file, what == Run::Updater ? "tarnvel-flash" : "tarnvel-fw",
        what == Run::Updater ? RunJournal::Need::BestEffort : RunJournal::Need::Required,
        [](const Error& problem) { ADD_FAILURE() << error_text(problem); });
    CampaignDialogue dialogue(observer, static_cast<bool>(restart));
    const FleetChoices choices{
        .unattended = true,
        .reboot = restart ? UpdatePolicy::Reboot::Always : UpdatePolicy::Reboot::Never,
        .keep_backup = true,
        .state_dir = state_dir,
        .jobs = static_cast<unsigned>(boards.size()),
    };
    RunPolicy policy = what == Run::Updater       ? updater_policy(bench.firmware_dir())
                       : what == Run::FleetUpdate ? fleet_update_policy(choices)
                                                  : rollback_policy(choices);
    policy.update.firmware_dir = bench.firmware_dir();  // the bench's archives, not the host's

    std::vector<BoardDone> done(boards.size());
    std::vector<BoardDevice*> written;
    std::vector<std::size_t> places;
    std::vector<std::optional<ImageFile>> backups(boards.size());
    std::vector<const ImageFile*> images;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        if (what == Run::FleetRollback) {
            auto opened = Journal::open_for_reading(journal_file);
            auto records = opened
                               ? opened->records()
                               : Result<std::vector<WriteRecord>>(std::unexpected(opened.error()));
            if (!records) {
                done[i].error = error_text(records.error());
                continue;
            }
            const BackupStore store(state_dir);
            auto target =
                choose_rollback(identity_of(*boards[i]), *records, {}, store, policy.update.images);
            if (!target) {
                done[i].error = target.error().reason;
                continue;
            }
            auto image = rollback_image(*target, store);
            done[i].rolled_back_to = std::move(*target);
            if (!image) {
                done[i].error = error_text(image.error());
                continue;
            }
            images.push_back(&backups[i].emplace(std::move(*image)));
        }
        written.push_back(boards[i]);
        places.push_back(i);
    }
    UpdateRun run(policy, journal, dialogue,
                  [&](const BoardDevice& board) -> Result<std::optional<std::string>> {
                      return restart(bench.board_of(board.devnode));
                  });
    std::vector<BoardUpdateReport> reports = run.run(written, images).reports;
    for (std::size_t k = 0; k < reports.size(); ++k) {
        const BoardUpdateReport& report = reports[k];
        BoardDone& board = done[places[k]];
        board.wrote = report.result != UpdateResult::UpToDate &&
                      report.result != UpdateResult::PendingPowerCycle;
        board.verified = written_and_verified(report.result);
        if (report.error) board.error = error_text(*report.error);
    }
    return done;
}

// `tarnvel-fw verify` of the board's flash against `image`.
bool flash_matches(BoardDevice& board, const Bytes& image) {
    SilentProgress silent;
    auto comparison = verify_flash(board, image, silent);
    return comparison && comparison->matches();
}

// A board of the kind powered on with the flash saved in `dir`.
std::unique_ptr<sim::SimBoard> power_on(BoardKind kind, const fs::path& dir) {
    auto board = sim::make_board_model(kind);
    EXPECT_TRUE(sim::restore_board_flash(*board, dir));
    return board;
}

// The journal's records, newest first; none when no write made one yet.
std::vector<WriteRecord> journal_records(const fs::path& file, CutFigures& figures) {
    if (!fs::exists(file)) return {};
    auto journal = Journal::open_for_reading(file);
    auto records = journal ? journal->records()
                           : Result<std::vector<WriteRecord>>(std::unexpected(journal.error()));
    const std::string integrity = testing::integrity_check(file);
    if (!records || integrity != "ok") {
        ADD_FAILURE() << file << ": " << (records ? integrity : error_text(records.error()));
        ++figures.databases_damaged;
        return {};
    }
    return std::move(*records);
}

std::vector<WriteRecord> of_slot(std::span<const WriteRecord> records, const std::string& slot) {
    std::vector<WriteRecord> mine;
    for (const WriteRecord& record : records) {
        if (record.start.pci_address == slot) mine.push_back(record);
    }
    return mine;
}

// A machine's boards on one power supply, served one access at a time (boards written at once
// reach them from threads of their own). The power goes at the first board's `cut_at`-th access
// from the time the machine is made, and takes every board's at once: the other boards stop
// wherever their own runs were, and each board's flash is saved as the cut left it.
class Machine {
  public:
    Machine(std::span<sim::SimBoard* const> boards, std::uint64_t cut_at,
            sim::PowerSupply::CutHandler on_cut)
        // The plan names no access the run reaches; it gives the chips' half-done operations
        // the cut's seed.
        : supply_({.access = std::numeric_limits<std::uint64_t>::max(), .seed = cut_at},
                  std::move(on_cut)),
          cut_at_(cut_at) {
        for (std::size_t i = 0; i < boards.size(); ++i) {
            lines_.push_back(std::make_unique<Line>(*this, supply_.connect(*boards[i]), i == 0));
        }
    }

    sim::RegisterModel& line(std::size_t board) { return *lines_[board]; }

  private:
    class Line final : public sim::RegisterModel {
      public:
        Line(Machine& machine, std::unique_ptr<sim::PoweredBoard> board, bool watched)
            : machine_(machine), board_(std::move(board)), watched_(watched) {}
        int read(std::uint32_t reg, std::uint32_t& value) override {
            const std::lock_guard lock(machine_.mutex_);
            machine_.before_access(watched_);
            return board_->read(reg, value);
        }
        int write(std::uint32_t reg, std::uint32_t value) override {
            const std::lock_guard lock(machine_.mutex_);
            machine_.before_access(watched_);
            return board_->write(reg, value);
        }
        sim::SimBoard* hardware() override { return board_->hardware(); }

      private:
        Machine& machine_;
        std::unique_ptr<sim::PoweredBoard> board_;
        bool watched_;
    };

    // Under mutex_.
    void before_access(bool watched) {
        if (watched && ++watched_accesses_ == cut_at_) supply_.cut_now();
    }

    std::mutex mutex_;
    sim::PowerSupply supply_;
    std::uint64_t cut_at_;
    std::uint64_t watched_accesses_ = 0;
    std::vector<std::unique_ptr<Line>> lines_;
};

// The run a route cuts, and what it asks for.
Run cut_run(Route route) {
    return route == Route::Updater ? Run::Updater
           : route == Route::Fleet ? Run::FleetUpdate
                                   : Run::FleetRollback;
}
std::int32_t asked_firmware(Route route) {
    return route == Route::Rollback ? kShippedFirmware : kImageVersion;
}

// The bench's boards as discovery finds them, each running `versions[i]`.
struct Devices {
    std::vector<BoardDevice> devices;
    std::vector<BoardDevice*> pointers;
};
Devices devices_of(const KindBench& bench, std::span<const std::string> versions) {
    Devices d;
    for (std::size_t i = 0; i < versions.size(); ++i)
        d.devices.push_back(bench.record(i, versions[i]));
    for (BoardDevice& device : d.devices) d.pointers.push_back(&device);
    return d;
}

// Before a rollback: the bench's boards, fresh from the factory on their `paths`, updated with
// `tarnvel-fw update --yes --reboot` so that they run the new image, with their shipped
// firmware kept as the backup a rollback returns to.
void update_before_rollback(const KindBench& bench, std::span<sim::SimBoard* const> boards,
                            const fs::path& state_dir) {
    std::vector<std::string> shipped(boards.size(), bench.version(kShippedFirmware));
    Devices devices = devices_of(bench, shipped);
    SilentProgress silent;
    const auto done =
        run_boards(Run::FleetUpdate, devices.pointers, bench, state_dir, silent,
                   [&](std::size_t i) { return bench.start(*boards[i], true).version; });
    for (const BoardDone& board : done) ASSERT_TRUE(board.verified) << board.error;
}

// A machine of the bench's boards updated before a rollback (update_before_rollback), each
// board's flash in board<i>/, the journal and the backups in state/: what every cut rollback
// starts from, made once.
fs::path prepare_rollback(KindBench& bench) {
    const fs::path dir = bench.machine_dir();
    std::vector<std::unique_ptr<sim::SimBoard>> owned;
    std::vector<sim::SimBoard*> boards;
    {
        sim::SimulatedClock clock;
        std::vector<std::unique_ptr<sim::InProcessPath>> paths;
        for (std::size_t i = 0; i < bench.boards(); ++i) {
            boards.push_back(owned.emplace_back(sim::make_board_model(bench.kind())).get());
            paths.push_back(std::make_unique<sim::InProcessPath>(bench.node(i), *boards[i]));
        }
        update_before_rollback(bench, boards, dir / "state");
    }
    for (std::size_t i = 0; i < bench.boards(); ++i) {
        const fs::path flash = dir / fmt::format("board{}", i);
        fs::create_directories(flash);
        EXPECT_TRUE(sim::save_board_flash(*boards[i], flash));
    }
    return dir;
}

// A board's flash as the cut left it, and what it starts at the power-on after it.
struct PoweredOn {
    std::unique_ptr<sim::SimBoard> board;
    sim::LoadedFirmware start;
    bool holds_image = false;  // the new image, whole
};

// The firmware a rollback returns the board to: what its flash held before the update, as the
// update's backup kept it.
Bytes shipped_firmware(const fs::path& state_dir, std::span<const WriteRecord> board_records) {
    if (board_records.empty() || !board_records.back().start.backup_file) return {};
    const WriteRecord& update = board_records.back();
    auto bytes = BackupStore(state_dir).read(
        {.file = *update.start.backup_file, .sha256 = update.start.backup_sha256.value_or("")},
        backup_length(update));
    EXPECT_TRUE(bytes) << error_text(bytes.error());
    return bytes ? std::move(*bytes) : Bytes{};
}

// The run of `route` on `bench`'s boards cut at `cut` (on the first board), the power-on
// after it, what is seen then, the run that completes the boards, and the power-on after that.
// `prepared`, when given, is the machine the run starts from (its boards' flash and its
// state), as prepare_rollback left it; otherwise the boards are fresh from the factory.
void cut_and_recover(Route route, KindBench& bench, const CutPoint& cut,
                     const std::optional<fs::path>& prepared, CutFigures& figures) {
    const BoardKind kind = bench.kind();
    const std::size_t count = bench.boards();
    SCOPED_TRACE(fmt::format("replay: TARNVEL_CUT_REPLAY={}:{}{}", static_cast<unsigned>(kind),
                             cut.access, cut.factory_image ? "" : ":no-factory"));
    ++figures.tried;
    const fs::path dir = bench.machine_dir();
    // Gone once the case is done: a large sweep makes thousands.
    const std::unique_ptr<const fs::path, void (*)(const fs::path*)> removed(&dir, [](auto* p) {
        std::error_code ignored;
        fs::remove_all(*p, ignored);
    });
    const fs::path state = dir / "state";
    const fs::path journal = state / kJournalFileName;
    const auto flash_dir = [&dir](std::size_t i) { return dir / fmt::format("board{}", i); };
    for (std::size_t i = 0; i < count; ++i) fs::create_directories(flash_dir(i));
    if (prepared) {
        fs::copy(*prepared, dir,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    const fs::path touched_note = dir / "touched";

    std::cout.flush();
    flush_output();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sim::SimulatedClock clock;
        std::vector<std::unique_ptr<sim::SimBoard>> owned;
        std::vector<sim::SimBoard*> boards;
        std::vector<std::unique_ptr<sim::InProcessPath>> paths;
        for (std::size_t i = 0; i < count; ++i) {
            owned.push_back(prepared ? power_on(kind, flash_dir(i)) : sim::make_board_model(kind));
            boards.push_back(owned.back().get());
            paths.push_back(std::make_unique<sim::InProcessPath>(bench.node(i), *boards[i]));
        }
        const std::uint64_t operations_before = chip_moment(*boards[0]).operations();
        Machine machine(boards, cut.access, [&] {
            // Whether an erase or program of the cut run reached the first board's flash.
            std::ofstream(touched_note)
                << (chip_moment(*boards[0]).operations() > operations_before ? 1 : 0);
            for (std::size_t i = 0; i < count; ++i) {
                (void)sim::save_board_flash(*boards[i], flash_dir(i));
            }
            ::kill(::getpid(), SIGKILL);
        });
        for (std::size_t i = 0; i < count; ++i) paths[i]->set_model(machine.line(i));
        const std::vector<std::string> running(
            count, bench.version(route == Route::Rollback ? kImageVersion : kShippedFirmware));
        Devices devices = devices_of(bench, running);
        SilentProgress silent;
        run_boards(cut_run(route), devices.pointers, bench, state, silent, {});
        ::_exit(3);  // the power was not cut
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "no cut: " << status;
    bool untouched = true;
    {
        int touched = 0;
        std::ifstream(touched_note) >> touched;
        untouched = touched == 0;
    }

    // The record of the cut write was on the disk before the first erase; a rollback's after
    // the update's.
    const std::vector<WriteRecord> after_cut = journal_records(journal, figures);
    const std::vector<WriteRecord> watched = of_slot(after_cut, KindBench::slot(0));
    const std::size_t before_cut = route == Route::Rollback ? 1 : 0;
    const bool recorded = watched.size() == before_cut + 1 && watched[0].interrupted() &&
                          watched[0].start.image_version ==
                              (route == Route::Rollback ? kShippedFirmware : kImageVersion) &&
                          (route != Route::Rollback || watched[0].start.backup_of == watched[1].id);
    const bool kept = recorded || (untouched && watched.size() == before_cut);
    EXPECT_TRUE(kept) << watched.size() << " records of the first board";
    if (!kept) ++figures.records_lost;
    const Bytes shipped = route == Route::Rollback ? shipped_firmware(state, watched) : Bytes{};

    // The power-on: every board at once.
    std::vector<PoweredOn> boards(count);
    for (std::size_t i = 0; i < count; ++i) {
        boards[i].board = power_on(kind, flash_dir(i));
        boards[i].start = bench.start(*boards[i].board, cut.factory_image);
        boards[i].holds_image =
            sim::flash_holds(*boards[i].board->firmware_flash(), kind, bench.image());
    }
    // The first board: its old firmware until an erase or program reached the flash, the new
    // one once the flash holds all of it, otherwise the factory image or nothing. A rollback's
    // written back whole, the firmware it ran before the update.
    const PoweredOn& first = boards[0];
    // (Boards written at once share the simulated clock, so the first board's accesses, and the
    // phase a number falls in, differ a little from run to run: there the phase is not held.)
    if (cut.phase == Phase::LastReadBack && count == 1) {
        EXPECT_TRUE(route == Route::Rollback
                        ? sim::flash_holds(*first.board->firmware_flash(), kind, shipped)
                        : first.holds_image);
    }
    const sim::LoadSource old =
        route == Route::Rollback ? sim::LoadSource::Image : sim::LoadSource::Shipped;
    const sim::LoadSource lost =
        cut.factory_image ? sim::LoadSource::Factory : sim::LoadSource::Nothing;
    if (untouched) {
        EXPECT_EQ(static_cast<int>(first.start.source), static_cast<int>(old));
    } else if (route == Route::Rollback) {
        // The first block written back starts the shipped firmware again.
        EXPECT_TRUE(first.start.source == sim::LoadSource::Shipped || first.start.source == lost)
            << static_cast<int>(first.start.source);
    } else {
        EXPECT_EQ(static_cast<int>(first.start.source),
                  static_cast<int>(first.holds_image ? sim::LoadSource::Image : lost));
    }

    // What `list` decides: a board whose last write never ended is interrupted, unless it runs
    // the firmware that write wrote; a board that is gone is missed in its slot with its last
    // record.
    std::optional<Journal> listed;
    if (fs::exists(journal)) {
        auto opened = Journal::open_for_reading(journal);
        ASSERT_TRUE(opened) << error_text(opened.error());
        listed.emplace(std::move(*opened));
    }
    std::vector<BoardIdentity> present;
    std::vector<std::string> listings(count, "unrecorded");
    for (std::size_t i = 0; i < count; ++i) {
        if (!boards[i].start.version) continue;
        present.push_back(identity_of(bench.record(i, *boards[i].start.version)));
        if (!listed) continue;
        const auto last = listed->last_write(KindBench::slot(i), kind, true);
        ASSERT_TRUE(last);
        if (!*last) continue;
        BoardDevice device = bench.record(i, *boards[i].start.version);
        const Decision listing =
            decide(identity_of(device), offer_of(look_up_image(device, bench.firmware_dir())),
                   &**last, HostNow::current());
        listings[i] = std::string(status_word(listing.status));
        if (!(*last)->interrupted()) continue;
        // A board that started the firmware the cut write was writing ran it since: the
        // journal takes it for whole (the simulated board starts its shipped firmware once the
        // first block holds it again).
        // A cut rollback, whole or partial, took its image off the board: the next rollout
        // holds that image back (a partial one is completed by the rollback run again).
        const BoardStatus expected = route == Route::Rollback ? BoardStatus::HeldBack
                                     : device.fw_version != (*last)->start.image_version
                                         ? BoardStatus::Interrupted
                                         : BoardStatus::UpToDate;
        EXPECT_EQ(listings[i], status_word(expected)) << "board " << i;
    }
    if (listed) {
        const auto writes = listed->last_writes(true);
        ASSERT_TRUE(writes);
        const auto missing = missing_boards(*writes, present);
        for (std::size_t i = 0; i < count; ++i) {
            if (boards[i].start.version || of_slot(after_cut, KindBench::slot(i)).empty()) continue;
            EXPECT_TRUE(std::ranges::any_of(
                missing,
                [&](const WriteRecord& record) {
                    return record.start.pci_address == KindBench::slot(i) && record.interrupted();
                }))
                << "board " << i << " gone but not missed";
        }
    }
    if (!first.start.version) {
        ++figures.gone;
        std::cout << fmt::format(
            "  cut at access {} ({}, no factory image): gone, listed missing\n", cut.access,
            phase_text(cut.phase));
    }

    // The same run again, with a reboot, completes every board that came back.
    std::vector<std::size_t> back;
    std::vector<std::string> versions;
    for (std::size_t i = 0; i < count; ++i) {
        if (boards[i].start.version) {
            back.push_back(i);
            versions.push_back(*boards[i].start.version);
        }
    }
    if (back.empty()) return;
    std::vector<BoardDone> done;
    {
        sim::SimulatedClock clock;
        std::vector<std::unique_ptr<sim::InProcessPath>> paths;
        Devices devices;
        for (std::size_t i : back) {
            paths.push_back(std::make_unique<sim::InProcessPath>(bench.node(i), *boards[i].board));
            devices.devices.push_back(bench.record(i, *boards[i].start.version));
        }
        for (BoardDevice& device : devices.devices) devices.pointers.push_back(&device);
        SilentProgress silent;
        done =
            run_boards(cut_run(route), devices.pointers, bench, state, silent, [&](std::size_t i) {
                return bench.start(*boards[i].board, cut.factory_image).version;
            });
    }
    for (std::size_t k = 0; k < back.size(); ++k) {
        const std::size_t i = back[k];
        EXPECT_TRUE(done[k].verified || (!done[k].wrote && done[k].error.empty()))
            << "board " << i << ": " << done[k].error;
        if (route == Route::Fleet) {
            EXPECT_EQ(done[k].wrote, !boards[i].holds_image) << "board " << i;
        }
        if (route == Route::Rollback) {
            // By default the firmware the board ran before the update, never what a cut left.
            const auto& target = done[k].rolled_back_to;
            EXPECT_TRUE(target && target->firmware.known_good() &&
                        target->firmware.version == kShippedFirmware &&
                        target->record.id == of_slot(after_cut, KindBench::slot(i)).back().id)
                << (target ? firmware_text(target->firmware) + " of record " +
                                 std::to_string(target->record.id)
                           : "no backup: " + done[k].error);
        }
        ASSERT_TRUE(sim::save_board_flash(*boards[i].board, flash_dir(i)));
    }

    // The power-on after it: each board runs what was asked, its flash holding it.
    const std::string asked = bench.version(asked_firmware(route));
    bool all_done = true;
    for (std::size_t i : back) {
        auto board = power_on(kind, flash_dir(i));
        const sim::LoadedFirmware final_start = bench.start(*board, cut.factory_image);
        EXPECT_EQ(final_start.version, asked) << "board " << i;
        sim::SimulatedClock clock;
        sim::InProcessPath path(bench.node(i), *board);
        BoardDevice verified = bench.record(i, final_start.version.value_or(""));
        const bool matches =
            flash_matches(verified, route == Route::Rollback ? shipped : bench.image());
        EXPECT_TRUE(matches) << "board " << i;
        all_done = all_done && matches && final_start.version == asked;
    }

    // No record lost; each board's last write whole, rebooted into what was asked; every
    // backup the run kept says what it holds, and holds a firmware the board ran only where the
    // board started it after the cut.
    const std::vector<WriteRecord> after = journal_records(journal, figures);
    std::set<std::int64_t> ids;
    for (const WriteRecord& record : after) ids.insert(record.id);
    const bool none_lost = std::ranges::all_of(
        after_cut, [&ids](const WriteRecord& record) { return ids.contains(record.id); });
    EXPECT_TRUE(none_lost);
    if (!none_lost && kept) ++figures.records_lost;
    for (std::size_t k = 0; k < back.size(); ++k) {
        const std::size_t i = back[k];
        const std::vector<WriteRecord> mine = of_slot(after, KindBench::slot(i));
        if (!done[k].wrote) continue;
        ASSERT_FALSE(mine.empty());
        const WriteRecord& last = mine.front();
        EXPECT_TRUE(last.end && last.end->verified && last.reboot &&
                    last.reboot->version_after == asked)
            << "board " << i << ": record " << last.id;
        if (route == Route::Updater || !last.start.backup_file) continue;
        EXPECT_TRUE(last.start.backup_holds) << "board " << i << ": record " << last.id;
        const FirmwareHeld label = backup_label(last);
        if (label.known_good()) {
            EXPECT_EQ(label.version, parse_fw_version(*boards[i].start.version))
                << "board " << i << ": record " << last.id << " says its backup holds "
                << firmware_text(label) << " after a cut";
        }
    }
    // A backup kept by a write whose record the cut never let be made is named by no record,
    // and goes once its board was written again.
    if (route != Route::Updater && back.size() == count) {
        std::set<std::string> named;
        for (const WriteRecord& record : after) {
            if (record.start.backup_file) named.insert(*record.start.backup_file);
        }
        const auto files = BackupStore(state).files();
        ASSERT_TRUE(files) << error_text(files.error());
        for (const std::string& file : *files) {
            EXPECT_TRUE(named.contains(file)) << "backup " << file << " named by no record";
        }
    }
    if (all_done && first.start.version) ++figures.recovered;
    std::string seen;
    for (std::size_t i = 0; i < count; ++i) {
        seen += fmt::format("{}{} listed {}", i == 0 ? "" : "; ",
                            boards[i].start.version.value_or("nothing"), listings[i]);
    }
    std::cout << fmt::format("  cut at access {} ({}{}): started {}\n", cut.access,
                             phase_text(cut.phase), cut.factory_image ? "" : ", no factory image",
                             seen);
}

struct KindCase {
    const char* name;
    BoardKind kind;
    Route route;
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

class CutRecovery : public ::testing::TestWithParam<KindCase> {};

TEST_P(CutRecovery, EveryBoardThatComesBackIsCompletedAndNoRecordIsLost) {
    const BoardKind kind = GetParam().kind;
    const Route route = GetParam().route;
    const Settings settings = settings_from_environment();
    if (settings.replay_kind && *settings.replay_kind != kind) GTEST_SKIP() << "another kind";
    const std::size_t boards = route == Route::Updater ? 1 : kFleetBoards;
    KindBench bench(kind, boards);
    ASSERT_EQ(bench.boards(), boards);

    // The whole run once, its first board watched, to find its phases.
    std::vector<std::unique_ptr<sim::SimBoard>> owned;
    std::vector<sim::SimBoard*> traced;
    for (std::size_t i = 0; i < bench.boards(); ++i) {
        traced.push_back(owned.emplace_back(sim::make_board_model(kind)).get());
    }
    std::optional<UpdateTrace> trace;
    {
        sim::SimulatedClock clock;
        std::vector<std::unique_ptr<sim::InProcessPath>> paths;
        for (std::size_t i = 0; i < bench.boards(); ++i) {
            paths.push_back(std::make_unique<sim::InProcessPath>(bench.node(i), *traced[i]));
        }
        const fs::path state = bench.machine_dir() / "state";
        if (route == Route::Rollback) update_before_rollback(bench, traced, state);
        trace.emplace(*traced[0]);
        paths[0]->set_model(*trace);
        const std::vector<std::string> running(
            bench.boards(),
            bench.version(route == Route::Rollback ? kImageVersion : kShippedFirmware));
        Devices devices = devices_of(bench, running);
        const auto whole = run_boards(cut_run(route), devices.pointers, bench, state, *trace, {});
        for (const BoardDone& board : whole) {
            ASSERT_TRUE(board.wrote && board.verified) << board.error;
        }
    }
    const std::vector<CutPoint> points = settings.replay_kind
                                             ? std::vector<CutPoint>{settings.replay}
                                             : choose_cut_points(*trace, kind, route, settings);
    std::cout << fmt::format(
        "{} (kind {}): {} boards, a write of {} bytes in {} blocks, {} register accesses on "
        "the first; seed {}\n",
        board_info(kind).model_name, static_cast<unsigned>(kind), bench.boards(),
        bench.image().size(), trace->pass_starts.size(), trace->accesses(), settings.seed);
    std::optional<fs::path> prepared;
    if (route == Route::Rollback) prepared = prepare_rollback(bench);
    CutFigures figures;
    for (const CutPoint& cut : points) cut_and_recover(route, bench, cut, prepared, figures);
    std::cout << testing::figures_line(
        fmt::format("{} (kind {})", board_info(kind).model_name, static_cast<unsigned>(kind)),
        figures);
    EXPECT_EQ(figures.records_lost, 0u);
    EXPECT_EQ(figures.databases_damaged, 0u);
    EXPECT_EQ(figures.recovered + figures.gone, figures.tried);
}

// The updater's run is cut on every programmed kind; tarnvel-fw's runs, which cost two or
// three times as much per cut, on every controller and flash but QX410M2 and QX410BP, which
// reach their flash through QX410's controller at its address, access for access.
std::vector<KindCase> kinds(Route route) {
    if (route != Route::Updater) {
        return {{"Qx410", BoardKind::Qx410, route},       {"Qx480Bpi", BoardKind::Qx480Bpi, route},
                {"Qx480Spi", BoardKind::Qx480Spi, route}, {"Qx400", BoardKind::Qx400, route},
                {"Qx610Bpi", BoardKind::Qx610Bpi, route}, {"Qx630", BoardKind::Qx630, route},
                {"Qx610Spi", BoardKind::Qx610Spi, route}};
    }
    return {{"Qx410", BoardKind::Qx410, route},       {"Qx410M2", BoardKind::Qx410M2, route},
            {"Qx410Bp", BoardKind::Qx410Bp, route},   {"Qx480Bpi", BoardKind::Qx480Bpi, route},
            {"Qx480Spi", BoardKind::Qx480Spi, route}, {"Qx400", BoardKind::Qx400, route},
            {"Qx610Bpi", BoardKind::Qx610Bpi, route}, {"Qx630", BoardKind::Qx630, route},
            {"Qx610Spi", BoardKind::Qx610Spi, route}};
}

std::string case_name(const ::testing::TestParamInfo<KindCase>& param) {
    return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Updater, CutRecovery, ::testing::ValuesIn(kinds(Route::Updater)),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Fleet, CutRecovery, ::testing::ValuesIn(kinds(Route::Fleet)), case_name);
INSTANTIATE_TEST_SUITE_P(Rollback, CutRecovery, ::testing::ValuesIn(kinds(Route::Rollback)),
                         case_name);

}  // namespace
}  // namespace tarnvel
