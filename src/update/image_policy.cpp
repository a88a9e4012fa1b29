#include "update/image_policy.hpp"

#include <algorithm>

namespace tarnvel {

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

}  // namespace tarnvel
