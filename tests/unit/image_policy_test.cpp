// Which images a fleet's lists let be written: an approved list allows only what is on it (an
// empty one nothing at all), and a blocked image is never allowed.

#include "update/image_policy.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarnvel {
namespace {

const std::string kOne(64, '1');
const std::string kTwo(64, '2');

TEST(ImagePolicy, AllowsOnlyWhatTheListsLet) {
    struct Case {
        const char* what;
        ImagePolicy policy;
        ImageVerdict verdict;  // for the image kOne
    };
    const Case cases[] = {
        {"no lists", {}, ImageVerdict::Allowed},
        {"an empty approved list", {.approved_sha256 = std::vector<std::string>{}},
         ImageVerdict::NotApproved},
        {"approved", {.approved_sha256 = std::vector{kTwo, kOne}}, ImageVerdict::Allowed},
        {"not on the approved list", {.approved_sha256 = std::vector{kTwo}},
         ImageVerdict::NotApproved},
        {"blocked", {.blocked_sha256 = {kTwo, kOne}}, ImageVerdict::Blocked},
        {"blocked though approved",
         {.approved_sha256 = std::vector{kOne}, .blocked_sha256 = {kOne}},
         ImageVerdict::Blocked},
        {"another image blocked", {.blocked_sha256 = {kTwo}}, ImageVerdict::Allowed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(judge_image(c.policy, kOne), c.verdict) << c.what;
    }
}

}  // namespace
}  // namespace tarnvel
