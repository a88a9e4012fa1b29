#pragma once
// The images that the firmware archives in a directory hold: what a simulated board can
// recognise in its flash and start (sim/model/firmware_load.hpp).

#include <filesystem>
#include <vector>

#include "sim/model/firmware_load.hpp"

namespace tarnvel::sim {

// Every entry of every "*.zip" in `dir` whose name is an image name of some board kind, with
// the version its name carries. Archives or entries that can't be read are passed over: a
// damaged archive holds nothing a board could have been given.
std::vector<KnownImage> archive_images(const std::filesystem::path& dir);

}  // namespace tarnvel::sim
