#pragma once
// What a board needs, and why: decided from what the board reports, the image it is offered
// and the journal's last record of a write to it, claiming no more than those show. One result
// for `list`, `update` and `verify` alike.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/board_identity.hpp"
#include "journal/host.hpp"
#include "update/image_choice.hpp"
#include "update/image_policy.hpp"
#include "journal/journal.hpp"

namespace tarnvel {

enum class BoardStatus : std::uint8_t {
    UpdateAvailable,  // the image is newer than the running firmware (or an image file)
    UpToDate,         // the same version
    BoardNewer,       // the board runs a newer version than the image
    NoArchive,        // the board's archive is not there
    NoImage,          // the archive is unusable, holds no image for the board, or a bad one
    Unsupported,      // not a known board
    DynamicFirmware,  // a QX1800: loads its firmware at run time, nothing to write
    // The last write was verified and the board still runs another version than that
    // image's: the image is in the flash and starts at the next power cycle.
    PendingPowerCycle,
    // The last write never ended: the flash holds a partial image. Not once the board runs
    // that write's image, having run another version before it: it has started the image
    // from its flash since, so the flash holds it whole, and the versions decide.
    Interrupted,
    WriteFailed,  // the last write failed part-way: the flash holds a partial image
    Missing,      // the journal knows the board, discovery no longer finds it
    // The journal that would weigh in can't be read: whether the flash holds a partial image
    // is not known, and the versions alone don't tell what the board needs.
    Undecided,
    // The last write has not ended because it is going on: its writer still runs, on this
    // boot. Nothing is wrong, and the board is not written beside it.
    Writing,
    // The board needs its image, and the fleet's policy does not let it be written: it is on
    // the blocked list, or there is an approved list and it is not on it.
    Blocked,
    NotApproved,
    // The board needs its image, and it will not be written: signatures are required and it
    // has none, or one by a key not trusted; or its signature does not hold.
    Unsigned,
    UntrustedSignature,
    BadSignature,
    // The image was rolled back on this board, and the archive offers that image again: it is
    // not written until an operator forces it or a different image arrives.
    HeldBack,
};

std::string_view status_word(BoardStatus status);

// What a board is offered: the image's version (none for an image file), or why it gets none.
using ImageOffer = std::expected<std::optional<std::int32_t>, PassedOver>;
ImageOffer offer_of(const std::expected<ImageListing, PassedOver>& image);
ImageOffer offer_of(const std::expected<ChosenImage, PassedOver>& image);

// How the image's version stands to the firmware the board runs, compared in 32 bits: an
// image version above 65535 is newer than any board firmware.
enum class VersionOrder : std::uint8_t { ImageNewer, Same, BoardNewer };

struct Decision {
    Decision(BoardStatus status_ = BoardStatus::Unsupported,
             std::optional<std::string> reason_ = std::nullopt)
        : status(status_), reason(std::move(reason_)) {}

    BoardStatus status;
    std::optional<std::string> reason;
    // The versions alone, whatever the journal says; none for an image file or no image.
    std::optional<VersionOrder> versions;
    // With WriteFailed: the last write was stopped part-way by a stop signal, not failed.
    bool stopped = false;

    // Whether an unattended update writes the board: when it needs the image, or with
    // `force` whenever it has one to write.
    bool writes_unattended(bool force) const;
};

// How a record's write stands now: ended (verified or failed), or not ended because it is going
// on or because it was cut short.
enum class WriteState : std::uint8_t { Verified, Failed, Interrupted, Writing };
WriteState write_state(const WriteRecord& record, const HostNow& host);

// `last_write` is the newest record of a write that changed (or may have changed) the board's
// flash: Journal::last_write with flash_touching; null when there is none, or no journal.
// `host` tells whether a write that never ended is going on, and whether the machine has been
// rebooted since the last one.
Decision decide(const BoardIdentity& board, const ImageOffer& image, const WriteRecord* last_write,
                const HostNow& host);

// What a board needs when the journal that would weigh in can't be read (`why`): undecided,
// unless the board needs nothing whatever its journal says (unsupported, dynamic firmware).
Decision undecided(const BoardIdentity& board, const ImageOffer& image, const Error& why);

// The boards of `last_writes` (Journal::last_writes with flash_touching) that are not
// `present`: a slot whose board no longer shows up after a write may hold a board that can't
// start what is in its flash. A board whose last write is known to have started (it was
// rebooted and reported the image's version) is not missed, nor is one that was forgotten
// (its records retired).
std::vector<WriteRecord> missing_boards(std::span<const WriteRecord> last_writes,
                                        std::span<const BoardIdentity> present);

// The decision held against the fleet's policy of images: a board that needs an image the
// policy does not let be written is Blocked or NotApproved, saying which digest.
Decision with_image_policy(Decision decision, ImageVerdict verdict, std::string_view sha256);
// The decision held against the image's signature (judge_signature): a board that needs an
// image whose signature the policy refuses is said to be refused, and why.
Decision with_signature(Decision decision, SignatureVerdict verdict, const SignatureCheck& check);

}  // namespace tarnvel
