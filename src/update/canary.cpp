#include "update/canary.hpp"

namespace tarnvel {

bool canary_failed(const BoardUpdateReport& report) {
    return report.result == UpdateResult::Failed && report.failure == UpdateFailure::Identity &&
           report.verdict &&
           (*report.verdict == RebootVerdict::OtherFirmware ||
            *report.verdict == RebootVerdict::Unreadable) &&
           report.record && report.backup;
}

RollbackRequest undoing(const BoardUpdateReport& report) {
    return RollbackRequest{.to = report.record, .force = false};
}

}  // namespace tarnvel
