#pragma once
// Which images a fleet lets be written: with a list of approved images, only an image on it;
// a blocked image never, whatever else asks for it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel {

struct ImagePolicy {
    // SHA-256 digests in lower-case hexadecimal. No approved list: every image not blocked.
    std::optional<std::vector<std::string>> approved_sha256;
    std::vector<std::string> blocked_sha256;
};

enum class ImageVerdict : std::uint8_t {
    Allowed,
    Blocked,      // on the blocked list
    NotApproved,  // there is an approved list, and the image is not on it
};

ImageVerdict judge_image(const ImagePolicy& policy, std::string_view sha256);

}  // namespace tarnvel
