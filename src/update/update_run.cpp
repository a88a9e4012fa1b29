#include "update/update_run.hpp"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "flash/wait.hpp"

namespace tarnvel {

void run_at_once(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next{0};
    const auto take_work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i);
    };
    const std::size_t threads = std::min<std::size_t>(std::max(jobs, 1u), count);
    std::vector<std::jthread> workers;
    workers.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) {
        try {
            workers.emplace_back(take_work);
        } catch (const std::system_error&) {
            // The machine gives no more threads: those started take all the work.
            break;
        }
    }
    if (workers.empty()) take_work();
}

RunPolicy updater_policy(std::string_view firmware_dir) {
    return RunPolicy{
        .update = UpdatePolicy{.opening = UpdatePolicy::Opening::FirstWithBusReset,
                               .unattended = false,
                               .decide_from_journal = false,
                               .full_write = true,
                               .reboot = UpdatePolicy::Reboot::Ask,
                               .firmware_dir = std::string(firmware_dir),
                               // The operator's updater has no trusted keys and no fleet's rules.
                               .check_signatures = false},
        .jobs = 1,
        .stops = RunPolicy::Stops::HeldByEachWrite,
    };
}

RunPolicy fleet_update_policy(const FleetChoices& choices) {
    return RunPolicy{
        .update =
            UpdatePolicy{
                .opening = UpdatePolicy::Opening::WhenWritingIdentified,
                .unattended = choices.unattended,
                .force = choices.force,
                .decide_from_journal = true,
                // Each block is read first and only one that differs is erased and written,
                // unless every block is asked for.
                .full_write = choices.full_write,
                .reboot = choices.reboot,
                .image_file = choices.image_file,
                .images = choices.images,
                .backup = choices.keep_backup ? UpdatePolicy::Backup::Kept
                                              : UpdatePolicy::Backup::Skipped,
                .state_dir = choices.state_dir,
                .keep_backups = choices.keep_backups,
            },
        .jobs = std::max(choices.jobs, 1u),
        .stops = RunPolicy::Stops::WatchedOverTheRun,
    };
}

RunPolicy rollback_policy(const FleetChoices& choices) {
    RunPolicy policy = fleet_update_policy(choices);
    policy.update.image_file = nullptr;
    return policy;
}

RunPolicy undo_policy(const RunPolicy& update) {
    RunPolicy policy = update;
    policy.update.unattended = true;
    policy.update.force = false;
    policy.update.reboot = UpdatePolicy::Reboot::Always;
    policy.update.image_file = nullptr;
    policy.stops = RunPolicy::Stops::WatchedOverTheRun;
    return policy;
}

UpdateRun::UpdateRun(RunPolicy policy, RunJournal& journal, UpdateDialogue& dialogue,
                     BoardRestart restart)
    : policy_(std::move(policy)),
      update_(policy_.update, journal, dialogue, std::move(restart)),
      dialogue_(dialogue) {
    policy_.jobs = std::max(policy_.jobs, 1u);
}

RunOutcome UpdateRun::run(std::span<BoardDevice* const> boards,
                          std::span<const ImageFile* const> images) {
    return policy_.stops == RunPolicy::Stops::HeldByEachWrite ? each_in_turn(boards, images)
                                                               : at_once(boards, images);
}

RunOutcome UpdateRun::each_in_turn(std::span<BoardDevice* const> boards,
                                   std::span<const ImageFile* const> images) {
    RunOutcome outcome;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        BoardDevice& board = *boards[i];
        auto step = update_.accept(board, images.empty() ? nullptr : images[i]);
        if (auto* passed = std::get_if<BoardUpdateReport>(&step)) {
            outcome.reports.push_back(std::move(*passed));
        } else {
            BoardUpdateReport report = update_.write(std::move(std::get<AcceptedWrite>(step)));
            if (written_and_verified(report.result)) {
                update_.reboot(board, report, update_.reboot_wanted(report));
            }
            outcome.reports.push_back(std::move(report));
        }
        dialogue_.finished(outcome.reports.back());
    }
    return outcome;
}

RunOutcome UpdateRun::at_once(std::span<BoardDevice* const> boards,
                              std::span<const ImageFile* const> images) {
    RunOutcome outcome;
    std::vector<BoardUpdateReport>& reports = outcome.reports;
    reports.reserve(boards.size());
    for (const BoardDevice* board : boards) reports.emplace_back(*board);

    // The stop signals are watched from the first question to the last reboot. One that comes
    // while the operator is asked ends the questions: nothing is written, a reboot already
    // agreed to is made, and every board's result comes out before the signal ends the program.
    UpdateDialogue& dialogue = dialogue_;
    std::atomic<bool> asking{true};
    auto watch = std::make_unique<StopSignalWatch>(
        [&dialogue, &asking] {
            if (asking.load()) {
                dialogue.stop_seen_asking();
            } else {
                dialogue.stop_seen();
            }
        },
        [&dialogue] { dialogue.stopping(); });
    // A signal counts from the moment it waits, before the watch's thread has taken it.
    const auto stopped = [&] { return watch->stopped(); };
    const auto keep_stop = [&] {
        if (stopped()) outcome.held_stop = std::move(watch);
    };

    std::vector<AcceptedWrite> accepted;
    const std::vector<std::size_t> written =
        accept_each(boards, images, reports, accepted, stopped);
    if (accepted.empty()) {
        keep_stop();
        return outcome;
    }

    // A board accepted before a stop at a later question is not written (not attempted).
    const bool stopped_asking = stopped();
    StopRequest asked_to_stop;
    asked_to_stop.request();
    asking.store(stopped_asking);
    write_at_once(boards, written, accepted, reports,
                  stopped_asking ? asked_to_stop : watch->request());
    if (stopped()) {
        // Nothing is rebooted once the operator has asked the run to stop.
        for (std::size_t i : written) {
            if (update_.may_reboot(reports[i])) dialogue_.finished(reports[i]);
        }
        keep_stop();
        return outcome;
    }
    asking.store(true);
    reboot_at_once(boards, written, reports, stopped);
    keep_stop();
    return outcome;
}

std::vector<std::size_t> UpdateRun::accept_each(std::span<BoardDevice* const> boards,
                                                std::span<const ImageFile* const> images,
                                                std::vector<BoardUpdateReport>& reports,
                                                std::vector<AcceptedWrite>& accepted,
                                                const std::function<bool()>& stopped) {
    // Every question first, in the boards' order; a board not asked for is not attempted.
    std::vector<std::size_t> written;  // the boards accepted, by their place
    for (std::size_t i = 0; i < boards.size(); ++i) {
        if (stopped()) {
            dialogue_.finished(reports[i]);
            continue;
        }
        auto step = update_.accept(*boards[i], images.empty() ? nullptr : images[i]);
        if (auto* passed = std::get_if<BoardUpdateReport>(&step)) {
            reports[i] = std::move(*passed);
            // A question the stop ended was not answered: the board is not attempted.
            if (reports[i].result == UpdateResult::Declined && stopped()) {
                reports[i].result = UpdateResult::NotAttempted;
            }
            dialogue_.finished(reports[i]);
        } else {
            written.push_back(i);
            accepted.push_back(std::move(std::get<AcceptedWrite>(step)));
        }
    }
    return written;
}

void UpdateRun::write_at_once(std::span<BoardDevice* const> boards,
                              std::span<const std::size_t> written,
                              std::vector<AcceptedWrite>& accepted,
                              std::vector<BoardUpdateReport>& reports, const StopRequest& stop) {
    // A board the policy does not reboot is done with its write; a board that may be rebooted
    // waits for the reboots, which come once every write has ended.
    run_at_once(accepted.size(), policy_.jobs, [&](std::size_t k) {
        // More boards than cores: their spun waits give way to each other's work.
        const SharedCores sharing;
        BoardUpdateReport& report = reports[written[k]];
        report = update_.write(std::move(accepted[k]), &stop);
        if (update_.may_reboot(report)) return;
        if (written_and_verified(report.result)) update_.reboot(*boards[written[k]], report, false);
        dialogue_.finished(report);
    });
}

void UpdateRun::reboot_at_once(std::span<BoardDevice* const> boards,
                               std::span<const std::size_t> written,
                               std::vector<BoardUpdateReport>& reports,
                               const std::function<bool()>& stopped) {
    // Asked about in the boards' order, then made at once. After a stop at a question, the
    // boards answered yes before it are rebooted, the others are not.
    std::vector<std::size_t> rebooted;
    std::vector<char> wanted;
    for (std::size_t i : written) {
        if (!update_.may_reboot(reports[i])) continue;
        rebooted.push_back(i);
        wanted.push_back(!stopped() && update_.reboot_wanted(reports[i]) ? 1 : 0);
    }
    run_at_once(rebooted.size(), policy_.jobs, [&](std::size_t k) {
        BoardUpdateReport& report = reports[rebooted[k]];
        update_.reboot(*boards[rebooted[k]], report, wanted[k] != 0);
        dialogue_.finished(report);
    });
}

}  // namespace tarnvel
