#pragma once

#include <string_view>
#include <vector>

namespace tarnvel::sim {

// The boards tarnvel-sim simulates when it is given none: one of every kind, as board
// descriptions. Most carry an archive with a newer image; one an equal image, one an older
// one, one none at all, so that one run of the updater shows every turn of its dialogue.
const std::vector<std::string_view>& demo_board_descriptions();

}  // namespace tarnvel::sim
