#pragma once
// Which images a fleet lets be written: with a list of approved images, only an image on it;
// a blocked image never, whatever else asks for it; where signatures are required, only an
// image signed by a key the fleet trusts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/minisign.hpp"
#include "firmware/signed_image.hpp"
#include "journal/journal.hpp"

namespace tarnvel {

struct ImagePolicy {
    // SHA-256 digests in lower-case hexadecimal. No approved list: every image not blocked.
    std::optional<std::vector<std::string>> approved_sha256;
    std::vector<std::string> blocked_sha256;
    // Only images signed by one of `trusted_keys` are written, not even with --force otherwise.
    // A signature beside an image is checked whether or not they are required.
    bool require_signature = false;
    std::vector<MinisignKey> trusted_keys;

    // Whether `key_id` (as key_id_text shows it) is one of the trusted keys.
    bool trusts(std::string_view key_id) const;
};

enum class ImageVerdict : std::uint8_t {
    Allowed,
    Blocked,      // on the blocked list
    NotApproved,  // there is an approved list, and the image is not on it
};

ImageVerdict judge_image(const ImagePolicy& policy, std::string_view sha256);

enum class SignatureVerdict : std::uint8_t {
    Allowed,
    Unsigned,      // signatures are required, and the image has none
    UntrustedKey,  // signatures are required, and it is signed by a key not trusted
    Bad,           // its signature is damaged, or the image or comment changed since signing
};

// An image's signature held against the policy: a bad signature is refused whether or not
// signatures are required, as a bad checksum would be.
SignatureVerdict judge_signature(const ImagePolicy& policy, const SignatureCheck& check);

// Why the image is refused (a verdict other than Allowed), in words that name the signature file
// and the key where there are ones. A check with no signature file is of a backup written back.
std::string signature_refusal(SignatureVerdict verdict, const SignatureCheck& check);

// Firmware a rollback restores, judged by `restored_write`: the record of the write that put it
// on the flash (null when the journal knows none). Where signatures are required, it is
// allowed when that record names a trusted key, and otherwise only with `force`. (The blocked
// list, judged on the restored bytes, still wins.)
SignatureVerdict judge_restored(const ImagePolicy& policy, const WriteRecord* restored_write,
                                bool force);

}  // namespace tarnvel
