// Boards updated at once (UpdateRun), on the in-process route in simulated time, as
// tarnvel-fw runs them: every board written on a thread of its own under its own journal
// record and after its own backup, a failed register access failing that board alone, and a
// stop signal stopping every board at the end of the block it is at, with the boards not yet
// begun left alone.

#include "update/update_run.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "flash/word_mirror.hpp"
#include "journal/journal.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/in_process.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/support/temp_dir.hpp"
#include "support/journal_outside.hpp"
#include "update/backup_store.hpp"
#include "update/board_identity.hpp"
#include "update/canary.hpp"
#include "update/rollback.hpp"
#include "update/rollback_run.hpp"
#include "journal/journal.hpp"

namespace tarnvel::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Three parallel-flash blocks and a little more: five serial-flash blocks.
constexpr std::size_t kImageBytes = 2 * 0x20000 + 0x400;

// Boards of the three flash families (serial through the chunked engine, parallel, serial
// through the polled shift engine), and a second serial one.
constexpr BoardKind kKinds[] = {BoardKind::Qx630, BoardKind::Qx400, BoardKind::Qx410,
                                BoardKind::Qx480Spi};

// Meeting points for the boards' threads: a test waits there until every board has come, so
// that what it sees can only be boards written at the same time.
class Rendezvous {
  public:
    explicit Rendezvous(std::size_t parties) : parties_(parties) {}
    // False when the others did not come within seconds (the boards are not written at once).
    bool arrive_and_wait() {
        std::unique_lock lock(mutex_);
        if (++arrived_ == parties_) changed_.notify_all();
        return changed_.wait_for(lock, 20s, [this] { return arrived_ >= parties_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t parties_;
    std::size_t arrived_ = 0;
};

// The dialogue of an unattended run that counts what it is told; its observer calls `at_block`
// before the first pass over each block.
class CountingDialogue final : public UpdateDialogue {
  public:
    std::function<void(const BoardIdentity&, const BlockPass&)> at_block;

    bool confirm_write(const WriteOffer&) override { return true; }
    bool confirm_reboot(const BoardUpdateReport&) override { return false; }
    std::unique_ptr<ProgrammingObserver> progress(const BoardIdentity& board,
                                                  StopSignalHold* hold) override {
        EXPECT_EQ(hold, nullptr) << "boards written at once hold no signals per thread";
        return std::make_unique<Observer>(*this, board);
    }
    void finished(const BoardUpdateReport& report) override {
        const std::lock_guard lock(mutex);
        finished_nodes.push_back(report.board.devnode);
    }
    void stop_seen() override {
        const std::lock_guard lock(mutex);
        ++stops_seen;
        stop_told.notify_all();
    }
    void stopping() override { ++stopping_notices; }

    // Waits until stop_seen has been said.
    bool wait_for_stop_seen() {
        std::unique_lock lock(mutex);
        return stop_told.wait_for(lock, 20s, [this] { return stops_seen > 0; });
    }

    std::mutex mutex;
    std::condition_variable stop_told;
    std::vector<std::string> finished_nodes;
    int stops_seen = 0;
    int stopping_notices = 0;

  private:
    class Observer final : public ProgrammingObserver {
      public:
        Observer(CountingDialogue& dialogue, const BoardIdentity& board)
            : dialogue_(dialogue), board_(board) {}
        void pass_started(const BlockPass& pass) override {
            if (pass.retry == 0 && dialogue_.at_block) dialogue_.at_block(board_, pass);
        }
        void retrying(const BlockPass&) override {}

      private:
        CountingDialogue& dialogue_;
        BoardIdentity board_;
    };
};

// Boards in slots of their own, their nodes files in a scratch directory attached to their
// simulated hardware, an image file for all of them, and the journal.
class ParallelUpdateTest : public ::testing::Test {
  protected:
    void add_boards(std::size_t count, std::optional<sim::RegisterFault> fault_on_first = {}) {
        for (std::size_t i = 0; i < count; ++i) {
            const BoardKind kind = kKinds[i];
            models_.push_back(sim::make_board_model(kind));
            sim::RegisterModel* model = models_.back().get();
            if (i == 0 && fault_on_first) {
                faults_ = std::make_unique<sim::RegisterFaults>(*model, *fault_on_first);
                model = faults_.get();
            }
            const fs::path node = dir_.path() / fmt::format("tarnvel{}", i);
            std::ofstream(node).flush();
            routes_.push_back(std::make_unique<sim::InProcessPath>(node.string(), *model));
            BoardDevice& board = boards_.emplace_back();
            const HwVersionEntry& hw = board_info(kind).hw_versions.front();
            board.devnode = node.string();
            board.pci_address = fmt::format("0000:0{}:00.0", i + 1);
            board.kind = kind;
            board.hw_major = hw.major;
            board.hw_minor = hw.minor;
            board.fw_version = 10;
        }
    }

    // `images`: each board's own (a backup written back), instead of the test's image.
    RunOutcome update(unsigned jobs, std::span<const ImageFile* const> images = {}) {
        RunJournal journal(journal_file(), "tarnvel-fw", RunJournal::Need::Required,
                           [this](const Error& problem) { journal_problem(problem); });
        const UpdatePolicy policy{.unattended = true,
                                  .force = true,
                                  .reboot = UpdatePolicy::Reboot::Never,
                                  .image_file = images.empty() ? &image_ : nullptr,
                                  .backup = backup_,
                                  .state_dir = dir_.path(),
                                  .keep_backups = keep_backups_};
        std::vector<BoardDevice*> boards;
        for (BoardDevice& board : boards_) boards.push_back(&board);
        return UpdateRun(RunPolicy{.update = policy, .jobs = jobs}, journal, dialogue)
            .run(boards, images);
    }

    // The journal's records, by board node.
    std::map<std::string, WriteRecord> records() {
        std::map<std::string, WriteRecord> by_node;
        auto journal = Journal::open_for_reading(journal_file());
        EXPECT_TRUE(journal);
        if (!journal) return by_node;
        for (WriteRecord& record : journal->records().value_or(std::vector<WriteRecord>{})) {
            EXPECT_TRUE(by_node.emplace(record.start.devnode, std::move(record)).second);
        }
        return by_node;
    }

    // Whether the board's flash holds the image's first `blocks` erase blocks and nothing of
    // the rest.
    ::testing::AssertionResult holds_blocks(std::size_t board, std::uint32_t blocks) {
        auto& model = *models_[board]->hardware();
        const BoardInfo& info = board_info(model.kind());
        const bool parallel = info.flash == FlashType::Bpi;
        const std::uint32_t block = parallel ? 0x20000 : 0x10000;
        std::vector<std::uint8_t> image = image_.bytes;
        // The parallel flash holds every 16-bit word bit-mirrored, as it is written.
        if (parallel) mirror_words(image_.bytes, image);
        const sim::FlashStorage& flash = *model.firmware_flash();
        for (std::uint32_t at = 0; at < image.size(); ++at) {
            const bool written = at / block < blocks;
            const std::uint8_t held = flash.read(info.base_address + at);
            if (written && held != image[at]) {
                return ::testing::AssertionFailure() << "image byte " << at << " not written";
            }
            if (!written && held != sim::FlashStorage::prefill(info.base_address + at)) {
                return ::testing::AssertionFailure() << "image byte " << at << " changed";
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Whether every board is closed, its lock let go, once its update is over, whichever way
    // it ended.
    ::testing::AssertionResult every_board_closed() const {
        for (const BoardDevice& board : boards_) {
            if (board.fd != -1) return ::testing::AssertionFailure() << board.devnode << " open";
        }
        return ::testing::AssertionSuccess();
    }

    fs::path journal_file() const { return dir_.path() / kJournalFileName; }

    // The backups left in the state directory.
    std::size_t backups_kept() const { return BackupStore(dir_.path()).files().value().size(); }

    sim::TempDir dir_{"tarnvel-parallel."};
    const sim::SimulatedClock clock_;
    ImageFile image_{.path = "image.bin", .bytes = sim::firmware_bytes(kImageBytes, 7)};
    std::vector<std::unique_ptr<sim::SimBoard>> models_;
    std::unique_ptr<sim::RegisterFaults> faults_;
    std::vector<std::unique_ptr<sim::InProcessPath>> routes_;
    std::vector<BoardDevice> boards_;
    // What the flash held kept first, as tarnvel-fw keeps it.
    UpdatePolicy::Backup backup_ = UpdatePolicy::Backup::Kept;
    unsigned keep_backups_ = 2;
    // What the run's journal tells of a problem with it; none is expected unless set.
    std::function<void(const Error&)> journal_problem = [](const Error& problem) {
        ADD_FAILURE() << error_text(problem);
    };
    CountingDialogue dialogue;
};

TEST_F(ParallelUpdateTest, WritesEveryBoardAtOnceEachUnderItsOwnRecord) {
    add_boards(3);
    Rendezvous first_block(3);
    std::atomic<bool> all_met{true};
    dialogue.at_block = [&](const BoardIdentity&, const BlockPass& pass) {
        if (pass.block == 0 && !first_block.arrive_and_wait()) all_met = false;
    };
    const RunOutcome outcome = update(3);
    EXPECT_TRUE(all_met) << "the boards did not all start their first block at the same time";
    EXPECT_EQ(outcome.held_stop, nullptr);
    const auto written = records();
    ASSERT_EQ(written.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(outcome.reports[i].board.devnode, boards_[i].devnode) << "the boards' order";
        EXPECT_EQ(outcome.reports[i].result, UpdateResult::Updated) << boards_[i].devnode;
        const WriteRecord& record = written.at(boards_[i].devnode);
        ASSERT_TRUE(record.end);
        EXPECT_TRUE(record.end->verified);
        EXPECT_FALSE(record.end->stopped);
        EXPECT_EQ(record.reboot->requested, false);
        EXPECT_EQ(outcome.reports[i].record, record.id);
        EXPECT_TRUE(holds_blocks(i, UINT32_MAX)) << boards_[i].devnode;
        // Its backup, named by its record, holds what its flash held before: nothing written.
        ASSERT_TRUE(record.start.backup_file && record.start.backup_sha256);
        auto kept =
            BackupStore(dir_.path())
                .read({*record.start.backup_file, *record.start.backup_sha256},
                      static_cast<std::uint64_t>(record.start.backup_size.value_or(kImageBytes)));
        ASSERT_TRUE(kept) << error_text(kept.error());
        const BoardInfo& info = board_info(boards_[i].kind);
        // Kept in image byte order: the parallel flash holds its words bit-mirrored.
        std::vector<std::uint8_t> held = *kept;
        if (info.flash == FlashType::Bpi) mirror_words(*kept, held);
        for (std::uint32_t at = 0; at < kImageBytes; ++at) {
            ASSERT_EQ(held[at], sim::FlashStorage::prefill(info.base_address + at)) << at;
        }
    }
    EXPECT_EQ(backups_kept(), 3u);
    EXPECT_EQ(dialogue.finished_nodes.size(), 3u);
    EXPECT_TRUE(every_board_closed());
}

// A write erases whole blocks: the image ends 1 KiB into one, over firmware whose length no
// record tells, and its backup keeps the rest of that block too, so that writing it back
// restores every byte the write erased.
TEST_F(ParallelUpdateTest, WritingTheBackupBackRestoresEveryBlockTheWriteErased) {
    add_boards(3);
    ASSERT_EQ(update(3).reports.size(), 3u);
    auto journal = Journal::open_for_reading(journal_file());
    ASSERT_TRUE(journal);
    const std::vector<WriteRecord> written = journal->records().value();
    const BackupStore store(dir_.path());
    std::vector<ImageFile> backups;
    backups.reserve(boards_.size());
    for (const BoardDevice& board : boards_) {
        auto target = choose_rollback(identity_of(board), written, {}, store, ImagePolicy{});
        ASSERT_TRUE(target) << target.error().reason;
        auto backup = rollback_image(*target, store);
        ASSERT_TRUE(backup) << error_text(backup.error());
        backups.push_back(std::move(*backup));
    }
    std::vector<const ImageFile*> images;
    for (const ImageFile& backup : backups) images.push_back(&backup);
    const RunOutcome back = update(3, images);
    for (std::size_t i = 0; i < boards_.size(); ++i) {
        SCOPED_TRACE(boards_[i].devnode);
        EXPECT_EQ(back.reports[i].result, UpdateResult::Updated);
        const BoardInfo& info = board_info(boards_[i].kind);
        const std::uint32_t block = info.flash == FlashType::Bpi ? 0x20000 : 0x10000;
        const auto erased = static_cast<std::uint32_t>((kImageBytes + block - 1) / block * block);
        const sim::FlashStorage& flash = *models_[i]->hardware()->firmware_flash();
        for (std::uint32_t at = info.base_address; at < info.base_address + erased + block; ++at) {
            ASSERT_EQ(flash.read(at), sim::FlashStorage::prefill(at)) << "at " << at;
        }
    }
}

// --jobs 1: one board after another, in the boards' order.
TEST_F(ParallelUpdateTest, OneJobWritesTheBoardsInTurn) {
    add_boards(3);
    std::mutex mutex;
    std::vector<std::string> started;
    dialogue.at_block = [&](const BoardIdentity& board, const BlockPass& pass) {
        const std::lock_guard lock(mutex);
        if (pass.block == 0) started.push_back(board.devnode);
    };
    const RunOutcome outcome = update(1);
    EXPECT_EQ(started, (std::vector{boards_[0].devnode, boards_[1].devnode, boards_[2].devnode}));
    EXPECT_EQ(dialogue.finished_nodes, started);
    for (const BoardUpdateReport& report : outcome.reports) {
        EXPECT_EQ(report.result, UpdateResult::Updated);
    }
}

// A register access that fails on one board fails that board: the others are written and
// verified all the same.
TEST_F(ParallelUpdateTest, AFailedRegisterAccessFailsOnlyItsBoard) {
    // Past the part's identification, in the first block's programming (which a backup's read
    // would come before).
    backup_ = UpdatePolicy::Backup::Skipped;
    add_boards(3, sim::RegisterFault{.access = 5000, .persistent = true});
    const RunOutcome outcome = update(3);
    EXPECT_EQ(outcome.reports[0].result, UpdateResult::Failed);
    EXPECT_EQ(outcome.reports[0].failure, UpdateFailure::Programming);
    const auto written = records();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_FALSE(written.at(boards_[0].devnode).end->verified);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(outcome.reports[i].result, UpdateResult::Updated) << boards_[i].devnode;
        EXPECT_TRUE(written.at(boards_[i].devnode).end->verified);
        EXPECT_TRUE(holds_blocks(i, UINT32_MAX)) << boards_[i].devnode;
    }
    EXPECT_TRUE(every_board_closed());
}

void ignore_signal(int) {}

// A stop signal while the boards write their second block: the operator hears of it at once,
// before any board has ended that block; every board ends that block and stops, the board not
// yet begun is not written, and the one notice that the program stops comes once, when the
// held signal is given up.
TEST_F(ParallelUpdateTest, AStopSignalStopsEveryBoardAtTheEndOfItsBlock) {
    add_boards(4);
    // SIGTERM ends the test binary unless handled: handled, the held signal comes back harmless.
    struct sigaction handled {};
    handled.sa_handler = ignore_signal;
    struct sigaction saved {};
    ::sigaction(SIGTERM, &handled, &saved);

    Rendezvous second_block(3);
    std::atomic<bool> told_in_time{true};
    dialogue.at_block = [&](const BoardIdentity& board, const BlockPass& pass) {
        if (pass.block != 1) return;
        if (!second_block.arrive_and_wait()) told_in_time = false;
        if (board.devnode == boards_[0].devnode) ::kill(::getpid(), SIGTERM);
        // Heard while every board is still at the start of its second block.
        if (!dialogue.wait_for_stop_seen()) told_in_time = false;
    };
    RunOutcome outcome = update(3);
    EXPECT_TRUE(told_in_time);
    ASSERT_NE(outcome.held_stop, nullptr);
    EXPECT_EQ(dialogue.stops_seen, 1);
    EXPECT_EQ(dialogue.stopping_notices, 0) << "said once the results are out";

    const auto written = records();
    for (std::size_t i = 0; i < 3; ++i) {
        const BoardUpdateReport& report = outcome.reports[i];
        EXPECT_EQ(report.result, UpdateResult::Stopped) << report.board.devnode;
        EXPECT_TRUE(report.flash_changed);
        EXPECT_EQ(report.blocks_written, 2u);
        const WriteRecord& record = written.at(boards_[i].devnode);
        ASSERT_TRUE(record.end) << "the record of a stopped write is ended";
        EXPECT_FALSE(record.end->verified);
        EXPECT_TRUE(record.end->stopped);
        EXPECT_TRUE(record.end->flash_changed);
        EXPECT_EQ(record.end->blocks_written, 2u);
        EXPECT_TRUE(holds_blocks(i, 2)) << report.board.devnode;
    }
    EXPECT_EQ(outcome.reports[3].result, UpdateResult::NotAttempted);
    EXPECT_EQ(written.count(boards_[3].devnode), 0u);
    EXPECT_TRUE(holds_blocks(3, 0));
    EXPECT_EQ(backups_kept(), 3u) << "no backup of the board not begun";
    EXPECT_EQ(dialogue.finished_nodes.size(), 4u);
    EXPECT_TRUE(every_board_closed()) << "also the board accepted and never written";

    outcome.held_stop.reset();
    EXPECT_EQ(dialogue.stopping_notices, 1);
    ::sigaction(SIGTERM, &saved, nullptr);
}

}  // namespace
}  // namespace tarnvel::testing

namespace tarnvel::testing {
namespace {

// A board that fails with fewer jobs than boards: the jobs go on to the boards after it. One
// job makes it certain that the thread of the failed board is the one that writes the rest.
TEST_F(ParallelUpdateTest, AFailedBoardLeavesTheBoardsAfterItToBeWritten) {
    backup_ = UpdatePolicy::Backup::Skipped;
    add_boards(3, sim::RegisterFault{.access = 5000, .persistent = true});
    const RunOutcome outcome = update(1);
    EXPECT_EQ(outcome.reports[0].result, UpdateResult::Failed);
    EXPECT_TRUE(outcome.reports[0].ends_run);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(outcome.reports[i].result, UpdateResult::Updated) << boards_[i].devnode;
        EXPECT_TRUE(holds_blocks(i, UINT32_MAX)) << boards_[i].devnode;
    }
}

// A rollback of boards whose middle one has lost its backup: the others get theirs written
// back at once, the middle one is told first and passed over, and the reports keep the boards'
// order.
TEST_F(ParallelUpdateTest, ARollbackReportsInTheBoardsOrderWithABoardPassedOverBetween) {
    add_boards(3);
    update(3);
    const auto written = records();
    const WriteRecord& lost = written.at(boards_[1].devnode);
    ASSERT_TRUE(fs::remove(BackupStore(dir_.path()).directory() / *lost.start.backup_file));
    dialogue.finished_nodes.clear();

    RunJournal journal(journal_file(), "tarnvel-fw", RunJournal::Need::Required,
                       [this](const Error& problem) { journal_problem(problem); });
    const UpdatePolicy policy{.unattended = true,
                              .reboot = UpdatePolicy::Reboot::Never,
                              .backup = backup_,
                              .state_dir = dir_.path()};
    std::vector<BoardDevice*> boards;
    for (BoardDevice& board : boards_) boards.push_back(&board);
    UpdateRun run(RunPolicy{.update = policy, .jobs = 3}, journal, dialogue);
    const RunOutcome outcome = run_rollback(run, dialogue, boards, {}, policy);

    ASSERT_EQ(outcome.reports.size(), 3u);
    ASSERT_EQ(dialogue.finished_nodes.size(), 3u);
    EXPECT_EQ(dialogue.finished_nodes.front(), boards_[1].devnode) << "told before any write";
    for (std::size_t i = 0; i < 3; ++i) {
        const BoardUpdateReport& report = outcome.reports[i];
        EXPECT_EQ(report.board.devnode, boards_[i].devnode) << "the boards' order";
        if (i == 1) {
            EXPECT_EQ(report.result, UpdateResult::NoImage);
            ASSERT_TRUE(report.passed_over);
            EXPECT_NE(report.passed_over->detail().value_or("").find("no backup of this board"),
                      std::string::npos);
            continue;
        }
        EXPECT_EQ(report.result, UpdateResult::Updated) << boards_[i].devnode;
        EXPECT_EQ(report.image_backup_of, written.at(boards_[i].devnode).id);
        EXPECT_TRUE(holds_blocks(i, 0)) << "back to what it held: " << boards_[i].devnode;
    }
}

// The backups of a run's boards come from the journal as it was read once for the run: gone
// afterwards, it is not read again for the next board. One that can't be read refuses every
// board, saying so.
TEST_F(ParallelUpdateTest, TheBackupsOfARunComeFromOneReadingOfTheJournal) {
    add_boards(3);
    update(3);
    const auto written = records();
    const RollbackBackups backups(dir_.path(), {});
    ASSERT_TRUE(fs::remove(journal_file()));
    for (const BoardDevice& board : boards_) {
        const BackupToWrite backup = backups.backup_for(board, {});
        ASSERT_TRUE(backup) << board.devnode << ": "
                            << backup.error().passed_over->detail().value_or("");
        EXPECT_EQ(backup->backup_of, written.at(board.devnode).id);
    }
    fs::create_directory(journal_file());  // no journal can be opened there
    const RollbackBackups unreadable(dir_.path(), {});
    for (const BoardDevice& board : boards_) {
        const BackupToWrite backup = unreadable.backup_for(board, {});
        ASSERT_FALSE(backup);
        EXPECT_EQ(backup.error().result, UpdateResult::NoImage);
        EXPECT_TRUE(backup.error().passed_over->detail().value_or("").starts_with(
            "the journal that names the backups can't be read: "));
    }
}

// Failed canaries undone: of three boards, the first came back from its reboot unreadable and
// gets its backup written back and is rebooted again (rolled back), the second did too but its
// backup is gone, and the third came back as written and is left alone.
TEST_F(ParallelUpdateTest, FailedCanariesGetTheirBackupsBackEachPairedWithItsFirstReport) {
    add_boards(3);
    std::vector<BoardUpdateReport> first = update(3).reports;
    for (std::size_t i = 0; i < 2; ++i) {
        first[i].result = UpdateResult::Failed;
        first[i].failure = UpdateFailure::Identity;
        first[i].verdict = RebootVerdict::Unreadable;
    }
    const auto written = records();
    ASSERT_TRUE(fs::remove(BackupStore(dir_.path()).directory() /
                           *written.at(boards_[1].devnode).start.backup_file));

    RunJournal journal(journal_file(), "tarnvel-fw", RunJournal::Need::Required,
                       [this](const Error& problem) { journal_problem(problem); });
    const RunPolicy update{.update = {.state_dir = dir_.path()}, .jobs = 3};
    std::vector<BoardDevice*> boards;
    for (BoardDevice& board : boards_) boards.push_back(&board);
    // Each board comes back running the firmware its flash held before: 10.
    const BoardRestart restart =
        [](const BoardDevice& board) -> Result<std::optional<std::string>> {
        return fmt::format("{}r10", board_info(board.kind).hw_versions.front().text);
    };
    const UndoneCanaries undone =
        undo_failed_canaries(boards, first, update, journal, dialogue, restart);

    EXPECT_EQ(undone.held_stop, nullptr);
    ASSERT_EQ(undone.boards.size(), 2u);
    const UndoneCanary& restored = undone.boards[0];
    EXPECT_EQ(restored.at, 0u);
    EXPECT_EQ(restored.first.result, UpdateResult::RolledBack);
    EXPECT_EQ(restored.first.record, first[0].record) << "paired with its own first report";
    ASSERT_TRUE(restored.rollback);
    EXPECT_EQ(restored.rollback->result, UpdateResult::Updated);
    EXPECT_TRUE(restored.rollback->rebooted);
    EXPECT_EQ(restored.rollback->image_backup_of, first[0].record);
    EXPECT_FALSE(restored.no_backup);
    EXPECT_TRUE(holds_blocks(0, 0)) << "back to what it held";

    const UndoneCanary& held = undone.boards[1];
    EXPECT_EQ(held.at, 1u);
    EXPECT_EQ(held.first.result, UpdateResult::Failed);
    EXPECT_FALSE(held.rollback);
    EXPECT_NE(held.no_backup.value_or("").find("is gone"), std::string::npos);
    EXPECT_TRUE(holds_blocks(1, UINT32_MAX));
    EXPECT_TRUE(holds_blocks(2, UINT32_MAX)) << "a board that came back as written is left";
}

// The journal refuses the start of every record (as a full file system would): no board is
// written, the operator is told once for the run, and the backups taken for the writes, which
// no record names, are gone.
TEST_F(ParallelUpdateTest, ARefusedRecordStartWritesNothingAndLeavesNoBackup) {
    add_boards(3);
    ASSERT_TRUE(Journal::open_for_writing(journal_file()));
    run_sql(journal_file(),
            "PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = replace(sql, "
            "'kind INTEGER', 'kind INTEGER CHECK (kind < 0)') WHERE name = 'writes';");
    int notices = 0;
    journal_problem = [&notices](const Error&) { ++notices; };
    const RunOutcome outcome = update(2);
    EXPECT_EQ(notices, 1);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(outcome.reports[i].result, UpdateResult::Failed) << boards_[i].devnode;
        EXPECT_EQ(outcome.reports[i].failure, UpdateFailure::Journal) << boards_[i].devnode;
        EXPECT_FALSE(outcome.reports[i].backup) << boards_[i].devnode;
        EXPECT_TRUE(holds_blocks(i, 0)) << boards_[i].devnode;
    }
    EXPECT_EQ(backups_kept(), 0u);
    EXPECT_TRUE(every_board_closed());
}

// Each record is on the disk before its board's first erase; the write says whether it
// changed the flash, in the report and in the record: the first write does, the same image
// again does not.
TEST_F(ParallelUpdateTest, EachRecordComesBeforeTheFirstEraseAndTellsWhatChanged) {
    add_boards(2);
    std::atomic<int> recorded_before{0};
    dialogue.at_block = [&](const BoardIdentity& board, const BlockPass& pass) {
        if (pass.block != 0) return;
        auto journal = Journal::open_for_reading(journal_file());
        if (!journal) return;
        for (const WriteRecord& record : journal->records().value_or(std::vector<WriteRecord>{})) {
            if (record.start.devnode == board.devnode && !record.end) ++recorded_before;
        }
    };
    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "first write" : "the same image again");
        recorded_before = 0;
        const RunOutcome outcome = update(2);
        // The same image again erases nothing.
        if (first) {
            EXPECT_EQ(recorded_before, 2);
        }
        auto journal = Journal::open_for_reading(journal_file());
        ASSERT_TRUE(journal);
        for (std::size_t i = 0; i < 2; ++i) {
            const BoardUpdateReport& report = outcome.reports[i];
            EXPECT_EQ(report.result, first ? UpdateResult::Updated : UpdateResult::Unchanged);
            EXPECT_EQ(report.flash_changed, first);
            auto last = journal->last_write(boards_[i].pci_address, boards_[i].kind, false);
            ASSERT_TRUE(last && *last);
            ASSERT_EQ((*last)->id, report.record);
            ASSERT_TRUE((*last)->end);
            EXPECT_EQ((*last)->end->flash_changed, first);
        }
    }
}

// After each verified write that changed the flash a board keeps its newest `keep_backups`
// backups and, whatever that is, the one a rollback would write back.
TEST_F(ParallelUpdateTest, KeepsTheBackupsItIsAskedToKeep) {
    add_boards(1);
    const std::pair<unsigned, std::size_t> cases[] = {{0, 1}, {1, 1}, {2, 2}, {5, 3}};
    int image = 7;
    for (const auto& [keep, kept] : cases) {
        SCOPED_TRACE(keep);
        fs::remove_all(dir_.path() / kBackupDirName);
        fs::remove(journal_file());
        keep_backups_ = keep;
        for (int run = 0; run < 3; ++run) {
            // Another image each time: a write that changes nothing keeps no backup.
            image_.bytes = sim::firmware_bytes(kImageBytes, static_cast<std::uint32_t>(++image));
            EXPECT_EQ(update(1).reports[0].result, UpdateResult::Updated);
        }
        EXPECT_EQ(backups_kept(), kept);
    }
}

// Boards written at once under a umask that lets no one else read: every backup, and every
// other file the run makes but the journal (0644 whatever the umask, for the readers of its
// records), has the mode it was made with less that umask.
TEST_F(ParallelUpdateTest, FilesMadeWhileBoardsAreWrittenKeepTheCallersUmask) {
    add_boards(4);
    const mode_t caller = ::umask(027);
    const RunOutcome outcome = update(4);
    ::umask(caller);
    for (const BoardUpdateReport& report : outcome.reports) {
        EXPECT_EQ(report.result, UpdateResult::Updated) << report.board.devnode;
    }
    std::size_t backups = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
        if (!entry.is_regular_file() || entry.path().parent_path() != dir_.path() / kBackupDirName)
            continue;
        ++backups;
        struct stat info {};
        ASSERT_EQ(::stat(entry.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0640u) << entry.path();
    }
    EXPECT_EQ(backups, 4u);
}

}  // namespace
}  // namespace tarnvel::testing
