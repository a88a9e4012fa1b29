#pragma once
// The minisign signature beside an archive or an image file, checked over the very bytes that
// were read: signed by which key, whether that key is trusted, whether the bytes and the trusted
// comment are as they were signed.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "firmware/minisign.hpp"

namespace tarnvel {

enum class SignatureState : std::uint8_t {
    Unsigned,      // no signature file beside it
    Verified,      // signed by a trusted key, the bytes and the trusted comment as signed
    UntrustedKey,  // a well-formed signature by a key that is not trusted: nothing to check with
    // A signature that is no minisign signature or can't be read, or one by a trusted key that
    // does not match the bytes or its trusted comment.
    Bad,
};

struct SignatureCheck {
    SignatureState state = SignatureState::Unsigned;
    std::string path;  // the signature file looked for
    std::optional<std::string> key_id =
        std::nullopt;  // the key the signature names, once it could be read
    // Only when verified: a comment no trusted key vouches for is no trusted comment.
    std::optional<std::string> trusted_comment = std::nullopt;
    std::optional<std::string> problem =
        std::nullopt;  // why it is bad, or why the key is not trusted
};

// Minisign's own name for a file's signature: the file's path and ".minisig".
std::string signature_path(std::string_view signed_path);

// Whether anything lies where the signature of `signed_path` would be (its check then judges
// what it is).
bool has_signature(std::string_view signed_path);

// The signature of `signed_path` (its signature_path file) checked over `bytes`, which must be
// that file's content as read once, with the keys `trusted`.
SignatureCheck check_signature(const std::string& signed_path, std::span<const std::uint8_t> bytes,
                               std::span<const MinisignKey> trusted);

}  // namespace tarnvel
