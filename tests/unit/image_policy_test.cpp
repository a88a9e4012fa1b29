// Which images a fleet's lists let be written: an approved list allows only what is on it (an
// empty one nothing at all), and a blocked image is never allowed.

#include "update/image_policy.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tarnvel {
namespace {

const std::string kOne(64, '1');
const std::string kTwo(64, '2');

TEST(ImagePolicy, AllowsOnlyWhatTheListsLet) {
    struct Case {
        const char* what;
        std::optional<std::vector<std::string>> approved;
        std::vector<std::string> blocked;
        ImageVerdict verdict;  // for the image kOne
    };
    using List = std::vector<std::string>;
    const std::optional<List> none;
    const Case cases[] = {
        {"no lists", none, {}, ImageVerdict::Allowed},
        {"an empty approved list", List{}, {}, ImageVerdict::NotApproved},
        {"approved", List{kTwo, kOne}, {}, ImageVerdict::Allowed},
        {"not on the approved list", List{kTwo}, {}, ImageVerdict::NotApproved},
        {"blocked", none, {kTwo, kOne}, ImageVerdict::Blocked},
        {"blocked though approved", List{kOne}, {kOne}, ImageVerdict::Blocked},
        {"another image blocked", none, {kTwo}, ImageVerdict::Allowed},
    };
    for (const Case& c : cases) {
        ImagePolicy policy;
        policy.approved_sha256 = c.approved;
        policy.blocked_sha256 = c.blocked;
        EXPECT_EQ(judge_image(policy, kOne), c.verdict) << c.what;
    }
}

}  // namespace
}  // namespace tarnvel
