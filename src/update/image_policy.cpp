#include "update/image_policy.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace tarnvel {

bool ImagePolicy::trusts(std::string_view key_id) const {
    return std::ranges::any_of(
        trusted_keys, [&](const MinisignKey& key) { return key_id_text(key.id) == key_id; });
}

ImageVerdict judge_image(const ImagePolicy& policy, std::string_view sha256) {
    if (std::ranges::find(policy.blocked_sha256, sha256) != policy.blocked_sha256.end()) {
        return ImageVerdict::Blocked;
    }
    if (policy.approved_sha256 &&
        std::ranges::find(*policy.approved_sha256, sha256) == policy.approved_sha256->end()) {
        return ImageVerdict::NotApproved;
    }
    return ImageVerdict::Allowed;
}

SignatureVerdict judge_signature(const ImagePolicy& policy, const SignatureCheck& check) {
    switch (check.state) {
        case SignatureState::Verified: return SignatureVerdict::Allowed;
        case SignatureState::Bad: return SignatureVerdict::Bad;
        case SignatureState::Unsigned:
            return policy.require_signature ? SignatureVerdict::Unsigned
                                            : SignatureVerdict::Allowed;
        case SignatureState::UntrustedKey:
            return policy.require_signature ? SignatureVerdict::UntrustedKey
                                            : SignatureVerdict::Allowed;
    }
    return SignatureVerdict::Bad;
}

std::string signature_refusal(SignatureVerdict verdict, const SignatureCheck& check) {
    const bool restored = check.path.empty();
    switch (verdict) {
        case SignatureVerdict::Unsigned:
            return restored
                       ? "signatures are required, and the write that put this firmware on "
                         "the flash names no trusted key (--force writes it back anyway)"
                       : fmt::format("signatures are required, and it has none ({})", check.path);
        case SignatureVerdict::UntrustedKey:
            return restored ? "signatures are required, and the write that put this firmware on "
                              "the flash names a key that is not trusted (--force writes it back "
                              "anyway)"
                            : fmt::format("signatures are required; {}",
                                          check.problem.value_or(check.path));
        case SignatureVerdict::Bad:
            return fmt::format("bad signature: {}", check.problem.value_or(check.path));
        case SignatureVerdict::Allowed: break;
    }
    return {};
}

SignatureVerdict judge_restored(const ImagePolicy& policy, const WriteRecord* restored_write,
                                bool force) {
    if (!policy.require_signature || force) return SignatureVerdict::Allowed;
    const std::optional<std::string> key_id =
        restored_write != nullptr ? restored_write->start.signature_key_id : std::nullopt;
    if (!key_id) return SignatureVerdict::Unsigned;
    return policy.trusts(*key_id) ? SignatureVerdict::Allowed : SignatureVerdict::UntrustedKey;
}

}  // namespace tarnvel
