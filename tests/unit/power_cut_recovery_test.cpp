// The power-cut campaign, in-process: on every programmed board kind, `tarnvel-fw update --yes
// --no-reboot` as the library carries it out, with the power cut at chosen register accesses,
// each cut in a child process of its own (the cut saves the flash and kills the process on the
// spot, as tarnvel-sim --power-cut does). Then the board is powered on from what the cut left
// and looked at as the operator would: what it starts (its old image when the cut came before
// the first change, its factory image when the image region is partial, the new image once the
// last block was complete, nothing when it has no factory image either), what `list` decides
// from the journal, whether the journal kept the write's record and passes its integrity
// check. A board that came back is updated with a reboot, powered on once more, and must then
// run the new image with its flash holding it.
//
// Cut points, per kind: the phases of a multi-block update in turn, twice (before the first
// erase, during an erase, during a page or buffer program, during a block's read-back, between
// blocks, in the last block, during the last block's read-back), each picked among the
// update's accesses in that phase from a fixed seed; about one board in four has no factory
// image. A chip's half-done operation is seeded with the cut's access number, as tarnvel-sim's
// is by default. The environment asks for more (docs/reliability.md):
//   TARNVEL_CUT_SEED=S                   another seed (default 1)
//   TARNVEL_CUT_POINTS=N                 cut points per kind (default 14, two per phase;
//                                        7 in the sanitizer build)
//   TARNVEL_CUT_REPLAY=KIND:ACCESS[:no-factory]   only that cut of that kind's update

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
#include <optional>
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
#include "support/cut_figures.hpp"
#include "support/journal_integrity.hpp"
#include "sim/support/temp_dir.hpp"
#include "update/board_access.hpp"
#include "update/update_run.hpp"
#include "update/decision.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing::CutFigures;

constexpr std::uint16_t kShippedFirmware = 100;
constexpr std::int32_t kImageVersion = 101;
constexpr const char* kSlot = "0000:01:00.0";

// The campaign's choices, the same for the same seed everywhere.
using sim::next_random;

enum class Phase : std::uint8_t {
    BeforeTheFirstErase,
    Erase,
    Program,
    ReadBack,
    BetweenBlocks,
    LastBlock,
    LastReadBack,
    Replayed,  // a cut asked for by its access number
};
constexpr unsigned kPhaseCount = 7;
#ifdef TARNVEL_CUT_POINTS_PER_PHASE
constexpr unsigned kPointsPerPhase = TARNVEL_CUT_POINTS_PER_PHASE;
#else
constexpr unsigned kPointsPerPhase = 2;
#endif

std::string_view phase_text(Phase phase) {
    switch (phase) {
        case Phase::BeforeTheFirstErase: return "before the first erase";
        case Phase::Erase: return "during an erase";
        case Phase::Program: return "during a page or buffer program";
        case Phase::ReadBack: return "during a block's read-back";
        case Phase::BetweenBlocks: return "between blocks";
        case Phase::LastBlock: return "in the last block";
        case Phase::LastReadBack: return "during the last block's read-back";
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
    unsigned points = kPointsPerPhase * kPhaseCount;
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

// A whole update watched access by access: the firmware chip's moment before each register
// access (and after the last), and the access with which each block's pass began.
class UpdateTrace final : public sim::RegisterModel, public ProgrammingObserver {
  public:
    explicit UpdateTrace(sim::SimBoard& board) : board_(board) { note(); }

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

    std::uint64_t accesses() const { return moments.size() - 1; }

    // [n - 1]: before access n (counted from 1); the last one after the last access.
    std::vector<ChipMoment> moments;
    std::vector<std::uint64_t> pass_starts;

  private:
    void note() {
        ChipMoment now = chip_moment(board_);
        if (!moments.empty()) {
            const ChipMoment& last = moments.back();
            now.erasing = now.erases > last.erases       ? true
                          : now.programs > last.programs ? false
                                                         : last.erasing;
        }
        moments.push_back(now);
    }

    sim::SimBoard& board_;
};

// The update's accesses in each phase, by access number.
std::array<std::vector<std::uint64_t>, kPhaseCount> accesses_by_phase(const UpdateTrace& trace) {
    std::array<std::vector<std::uint64_t>, kPhaseCount> by_phase;
    auto add = [&by_phase](Phase phase, std::uint64_t access) {
        by_phase[static_cast<std::size_t>(phase)].push_back(access);
    };
    const auto& moments = trace.moments;
    const std::vector<std::uint64_t>& starts = trace.pass_starts;
    if (starts.empty()) return by_phase;
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

// The campaign's cut points for one kind: the phases in turn, each at a random access of it;
// a cut point chosen before is not made again.
std::vector<CutPoint> choose_cut_points(const UpdateTrace& trace, BoardKind kind,
                                        const Settings& settings) {
    const auto by_phase = accesses_by_phase(trace);
    std::uint64_t state = settings.seed * 0x100 + static_cast<unsigned>(kind);
    std::vector<CutPoint> points;
    for (unsigned i = 0; i < settings.points; ++i) {
        const auto phase = static_cast<Phase>(i % kPhaseCount);
        const std::vector<std::uint64_t>& candidates = by_phase[i % kPhaseCount];
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

// One kind's bench: its firmware archive with the new image, the node file its boards are
// opened by, and a directory per cut.
class KindBench {
  public:
    explicit KindBench(BoardKind kind) : kind_(kind) {
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
        fs::path node = dir_.path() / "tarnvel0";
        std::ofstream(node).flush();
        node_ = node.string();
    }

    BoardKind kind() const { return kind_; }
    const Bytes& image() const { return image_; }
    const std::string& node() const { return node_; }
    std::string firmware_dir() const { return (dir_.path() / "firmware").string(); }
    // A new directory for a machine: its flash and its journal.
    fs::path machine_dir() {
        const fs::path dir = dir_.path() / fmt::format("machine-{}", ++machines_);
        fs::create_directories(dir);
        return dir;
    }
    std::string version(std::int32_t firmware) const {
        return fmt::format("{}r{}", hardware_, firmware);
    }

    // The record discovery makes of the board in its slot, running `version`.
    BoardDevice record(const std::string& version) const {
        BoardDevice board;
        board.syspath = fmt::format("/sys/devices/pci0000:00/{}/tarnvel/tarnvel0", kSlot);
        board.devnode = node_;
        board.pci_address = kSlot;
        board.kind = kind_;
        board.hw_major = hw_major_;
        board.hw_minor = hw_minor_;
        board.fw_version = parse_fw_version(version).value_or(0);
        return board;
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
    std::string node_;
};

struct UpdateDone {
    bool wrote = false;  // the update set out to write the board
    bool verified = false;
    std::string error;
};

// Shows the programming run to the campaign's observer, which the update does not own.
class ObserverView final : public ProgrammingObserver {
  public:
    explicit ObserverView(ProgrammingObserver& observer) : observer_(observer) {}
    void pass_started(const BlockPass& pass) override { observer_.pass_started(pass); }
    void retrying(const BlockPass& pass) override { observer_.retrying(pass); }
    void compare_started(const BlockPass& pass) override { observer_.compare_started(pass); }
    void block_unchanged(const BlockPass& pass) override { observer_.block_unchanged(pass); }

  private:
    ProgrammingObserver& observer_;
};

// An unattended run asks nothing.
class CampaignDialogue final : public UpdateDialogue {
  public:
    explicit CampaignDialogue(ProgrammingObserver& observer) : observer_(observer) {}
    bool confirm_write(const WriteOffer&) override { return true; }
    std::unique_ptr<ProgrammingObserver> progress(const BoardIdentity&, StopSignalHold*) override {
        return std::make_unique<ObserverView>(observer_);
    }
    void stopping() override {}
    bool confirm_reboot(const BoardUpdateReport&) override { return false; }

  private:
    ProgrammingObserver& observer_;
};

// `tarnvel-fw update --yes` of one board, by the library's own update of a board: the
// archive's image, the decision from the journal's last record, the part identified and the
// image written under its record, only the blocks that differ. With `reboot` the board starts
// again (answering its "version"); without, the record says it was not rebooted.
UpdateDone update_board(BoardDevice& board, const KindBench& bench, const fs::path& journal_file,
                       ProgrammingObserver& observer,
                       const std::function<std::optional<std::string>()>& reboot) {
    RunJournal journal(journal_file, "tarnvel-fw", RunJournal::Need::Required,
                       [](const Error& problem) { ADD_FAILURE() << error_text(problem); });
    CampaignDialogue dialogue(observer);
    const UpdatePolicy policy{.unattended = true,
                              .reboot = reboot ? UpdatePolicy::Reboot::Always
                                               : UpdatePolicy::Reboot::Never,
                              .firmware_dir = bench.firmware_dir()};
    UpdateRun update(RunPolicy{.update = policy}, journal, dialogue,
                     [&](const BoardDevice&) -> Result<std::optional<std::string>> {
                         return reboot();
                     });
    BoardDevice* const boards[] = {&board};
    const BoardUpdateReport report = std::move(update.run(boards).reports.front());
    return UpdateDone{
        .wrote = report.result != UpdateResult::UpToDate &&
                 report.result != UpdateResult::PendingPowerCycle,
        .verified = report.result == UpdateResult::Updated ||
                    report.result == UpdateResult::Unchanged,
        .error = report.error ? error_text(*report.error) : std::string(),
    };
}

// `tarnvel-fw verify` of the board's flash against the image.
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

std::vector<WriteRecord> journal_records(const fs::path& file, CutFigures& figures) {
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

// The update of `bench`'s board cut at `cut`, the power-on after it, what is seen then, the
// update that completes the board, and the power-on after that.
void cut_and_recover(KindBench& bench, const UpdateTrace& trace, const CutPoint& cut,
                     CutFigures& figures) {
    const BoardKind kind = bench.kind();
    SCOPED_TRACE(fmt::format("replay: TARNVEL_CUT_REPLAY={}:{}{}", static_cast<unsigned>(kind),
                             cut.access, cut.factory_image ? "" : ":no-factory"));
    ++figures.tried;
    const fs::path dir = bench.machine_dir();
    // Gone once the case is done: a large sweep makes thousands.
    const std::unique_ptr<const fs::path, void (*)(const fs::path*)> removed(&dir, [](auto* p) {
        std::error_code ignored;
        fs::remove_all(*p, ignored);
    });
    const fs::path journal = dir / "state" / kJournalFileName;

    std::cout.flush();
    flush_output();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sim::SimulatedClock clock;
        auto board = sim::make_board_model(kind);
        sim::PowerSupply supply({.access = cut.access, .seed = cut.access}, [&] {
            (void)sim::save_board_flash(*board, dir);
            ::kill(::getpid(), SIGKILL);
        });
        auto powered = supply.connect(*board);
        sim::InProcessPath route(bench.node(), *powered);
        BoardDevice device = bench.record(bench.version(kShippedFirmware));
        SilentProgress silent;
        update_board(device, bench, journal, silent, {});
        ::_exit(3);  // the power was not cut
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "no cut: " << status;

    // The record of the write was on the disk before the first erase.
    const std::vector<WriteRecord> after_cut = journal_records(journal, figures);
    const bool kept = after_cut.size() == 1 && after_cut[0].interrupted() &&
                      after_cut[0].start.image_version == kImageVersion &&
                      after_cut[0].start.firmware_before == kShippedFirmware;
    EXPECT_TRUE(kept) << after_cut.size() << " records";
    if (!kept) ++figures.records_lost;

    auto board = power_on(kind, dir);
    const sim::LoadedFirmware loaded = bench.start(*board, cut.factory_image);
    // The old image until an erase or program reached the flash, the new one once the flash
    // holds all of it, otherwise the factory image or nothing.
    const bool untouched =
        cut.access <= trace.accesses() && trace.moments[cut.access - 1].operations() == 0;
    const bool whole = sim::flash_holds(*board->firmware_flash(), kind, bench.image());
    if (cut.phase == Phase::LastReadBack) {
        EXPECT_TRUE(whole);
    }
    const sim::LoadSource expected = whole               ? sim::LoadSource::Image
                                     : untouched         ? sim::LoadSource::Shipped
                                     : cut.factory_image ? sim::LoadSource::Factory
                                                         : sim::LoadSource::Nothing;
    EXPECT_EQ(static_cast<int>(loaded.source), static_cast<int>(expected));

    auto listed = Journal::open_for_reading(journal);
    ASSERT_TRUE(listed);
    const auto last = listed->last_write(kSlot, kind, true);
    ASSERT_TRUE(last && *last);
    if (!loaded.version) {
        // Gone from the bus: `list` misses it in its slot, with its last record.
        const auto writes = listed->last_writes(true);
        ASSERT_TRUE(writes);
        const auto missing = missing_boards(*writes, {});
        EXPECT_TRUE(missing.size() == 1 && missing[0].interrupted() &&
                    missing[0].start.pci_address == kSlot);
        ++figures.gone;
        std::cout << fmt::format(
            "  cut at access {} ({}, no factory image): gone, listed missing\n", cut.access,
            phase_text(cut.phase));
        return;
    }
    BoardDevice device = bench.record(*loaded.version);
    const Decision listing =
        decide(identity_of(device), offer_of(look_up_image(device, bench.firmware_dir())), &**last,
               HostNow::current());
    EXPECT_EQ(status_word(listing.status),
              status_word(whole ? BoardStatus::UpToDate : BoardStatus::Interrupted));

    // `update --yes --reboot` completes it.
    {
        sim::SimulatedClock clock;
        sim::InProcessPath route(bench.node(), *board);
        SilentProgress silent;
        const UpdateDone run = update_board(device, bench, journal, silent, [&] {
            return bench.start(*board, cut.factory_image).version;
        });
        EXPECT_EQ(run.wrote, !whole);
        EXPECT_TRUE(run.verified || !run.wrote) << run.error;
    }
    ASSERT_TRUE(sim::save_board_flash(*board, dir));

    // The power-on after it.
    board = power_on(kind, dir);
    const sim::LoadedFirmware final_start = bench.start(*board, cut.factory_image);
    EXPECT_EQ(final_start.version, bench.version(kImageVersion));
    bool matches = false;
    {
        sim::SimulatedClock clock;
        sim::InProcessPath route(bench.node(), *board);
        BoardDevice verified = bench.record(final_start.version.value_or(""));
        matches = flash_matches(verified, bench.image());
    }
    EXPECT_TRUE(matches);

    const std::vector<WriteRecord> after = journal_records(journal, figures);
    const std::size_t expected_records = whole ? 1 : 2;
    const bool all_kept =
        after.size() == expected_records && after.back().interrupted() &&
        (whole || (after.front().end && after.front().end->verified && after.front().reboot &&
                   after.front().reboot->version_after == bench.version(kImageVersion)));
    EXPECT_TRUE(all_kept) << after.size() << " records";
    if (!all_kept && kept) ++figures.records_lost;
    if (matches && final_start.source == sim::LoadSource::Image) ++figures.recovered;
    std::cout << fmt::format("  cut at access {} ({}{}): started {}, listed {}\n", cut.access,
                             phase_text(cut.phase), cut.factory_image ? "" : ", no factory image",
                             loaded.version.value_or("nothing"), status_word(listing.status));
}

struct KindCase {
    const char* name;
    BoardKind kind;
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

class CutRecovery : public ::testing::TestWithParam<KindCase> {};

TEST_P(CutRecovery, EveryBoardThatComesBackIsCompletedAndNoRecordIsLost) {
    const BoardKind kind = GetParam().kind;
    const Settings settings = settings_from_environment();
    if (settings.replay_kind && *settings.replay_kind != kind) GTEST_SKIP() << "another kind";
    KindBench bench(kind);
    ASSERT_FALSE(bench.node().empty());

    // The whole update once, watched, to find its phases.
    const auto traced = sim::make_board_model(kind);
    UpdateTrace trace(*traced);
    {
        sim::SimulatedClock clock;
        sim::InProcessPath route(bench.node(), trace);
        BoardDevice device = bench.record(bench.version(kShippedFirmware));
        const UpdateDone whole =
            update_board(device, bench, bench.machine_dir() / kJournalFileName, trace, {});
        ASSERT_TRUE(whole.wrote && whole.verified) << whole.error;
    }
    const std::vector<CutPoint> points = settings.replay_kind
                                             ? std::vector<CutPoint>{settings.replay}
                                             : choose_cut_points(trace, kind, settings);
    std::cout << fmt::format(
        "{} (kind {}): an update of {} bytes in {} blocks, {} register "
        "accesses; seed {}\n",
        board_info(kind).model_name, static_cast<unsigned>(kind), bench.image().size(),
        trace.pass_starts.size(), trace.accesses(), settings.seed);
    CutFigures figures;
    for (const CutPoint& cut : points) cut_and_recover(bench, trace, cut, figures);
    std::cout << testing::figures_line(
        fmt::format("{} (kind {})", board_info(kind).model_name, static_cast<unsigned>(kind)),
        figures);
    EXPECT_EQ(figures.records_lost, 0u);
    EXPECT_EQ(figures.databases_damaged, 0u);
    EXPECT_EQ(figures.recovered + figures.gone, figures.tried);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CutRecovery,
                         ::testing::Values(KindCase{"Qx410", BoardKind::Qx410},
                                           KindCase{"Qx410M2", BoardKind::Qx410M2},
                                           KindCase{"Qx410Bp", BoardKind::Qx410Bp},
                                           KindCase{"Qx480Bpi", BoardKind::Qx480Bpi},
                                           KindCase{"Qx480Spi", BoardKind::Qx480Spi},
                                           KindCase{"Qx400", BoardKind::Qx400},
                                           KindCase{"Qx610Bpi", BoardKind::Qx610Bpi},
                                           KindCase{"Qx630", BoardKind::Qx630},
                                           KindCase{"Qx610Spi", BoardKind::Qx610Spi}),
                         [](const ::testing::TestParamInfo<KindCase>& param) {
                             return param.param.name;
                         });

}  // namespace
}  // namespace tarnvel
