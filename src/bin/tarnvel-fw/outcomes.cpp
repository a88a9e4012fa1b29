#include "bin/tarnvel-fw/outcomes.hpp"

namespace tarnvel::fw {

std::string_view result_word(UpdateResult result) {
    switch (result) {
        case UpdateResult::Updated: return "updated";
        case UpdateResult::Unchanged: return "unchanged";
        case UpdateResult::UpToDate: return "up-to-date";
        case UpdateResult::BoardNewer: return "board-newer";
        case UpdateResult::PendingPowerCycle: return "pending-power-cycle";
        case UpdateResult::DynamicFirmware: return "dynamic-firmware";
        case UpdateResult::Declined: return "declined";
        case UpdateResult::Failed: return "failed";
        case UpdateResult::NoArchive: return "no-archive";
        case UpdateResult::NoImage: return "no-image";
        case UpdateResult::Unsupported: return "unsupported";
        case UpdateResult::NotAttempted: return "not-attempted";
        case UpdateResult::Writing: return "writing";
        case UpdateResult::Missing: return "missing";
        case UpdateResult::Blocked: return "blocked";
        case UpdateResult::NotApproved: return "not-approved";
        case UpdateResult::Stopped: return "stopped";
        case UpdateResult::Unsigned: return "unsigned";
        case UpdateResult::UntrustedSignature: return "untrusted-signature";
        case UpdateResult::BadSignature: return "bad-signature";
        case UpdateResult::HeldBack: return "held-back";
        case UpdateResult::RolledBack: return "rolled-back";
    }
    return "failed";
}

std::string_view result_word(VerifyResult result) {
    switch (result) {
        case VerifyResult::Match: return "match";
        case VerifyResult::Mismatch: return "mismatch";
        case VerifyResult::Failed: return "failed";
        case VerifyResult::NoArchive: return "no-archive";
        case VerifyResult::NoImage: return "no-image";
        case VerifyResult::Unsupported: return "unsupported";
        case VerifyResult::DynamicFirmware: return "dynamic-firmware";
        case VerifyResult::Missing: return "missing";
    }
    return "failed";
}

VerifyResult verify_result(const PassedOver& passed_over) {
    switch (passed_over.why) {
        case PassedOver::Why::Unsupported: return VerifyResult::Unsupported;
        case PassedOver::Why::DynamicFirmware: return VerifyResult::DynamicFirmware;
        case PassedOver::Why::NoArchive: return VerifyResult::NoArchive;
        case PassedOver::Why::NoImage: return VerifyResult::NoImage;
    }
    return VerifyResult::NoImage;
}

bool ended_as_asked(UpdateResult result) {
    switch (result) {
        case UpdateResult::Updated:
        case UpdateResult::Unchanged:
        case UpdateResult::UpToDate:
        case UpdateResult::BoardNewer:
        case UpdateResult::PendingPowerCycle:
        case UpdateResult::HeldBack:
        case UpdateResult::DynamicFirmware:
        case UpdateResult::Declined:
        // Another process's write of the board is no failure of this run.
        case UpdateResult::Writing: return true;
        case UpdateResult::Failed:
        case UpdateResult::NoArchive:
        case UpdateResult::NoImage:
        case UpdateResult::Unsupported:
        case UpdateResult::NotAttempted:
        case UpdateResult::Missing:
        case UpdateResult::Blocked:
        case UpdateResult::NotApproved:
        case UpdateResult::Unsigned:
        case UpdateResult::UntrustedSignature:
        case UpdateResult::BadSignature:
        // The board is back on the firmware it ran, and the image it was given is not on it.
        case UpdateResult::RolledBack:
        case UpdateResult::Stopped: return false;
    }
    return false;
}

bool ended_as_asked(VerifyResult result) {
    return result == VerifyResult::Match || result == VerifyResult::DynamicFirmware;
}

}  // namespace tarnvel::fw
