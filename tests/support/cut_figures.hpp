#pragma once
// The figures every power-cut test reports: cuts tried, boards recovered, records lost and
// databases damaged.

#include <string>
#include <string_view>

#include <fmt/format.h>

namespace tarnvel::testing {

struct CutFigures {
    unsigned tried = 0;      // cuts made
    unsigned recovered = 0;  // boards that came back and were completed
    // Boards without a factory image that could not start what the cut left.
    unsigned gone = 0;
    unsigned records_lost = 0;       // records of writes that started, missing afterwards
    unsigned databases_damaged = 0;  // journals that can't be opened or fail the check
};

// "{what}: 7 cuts tried, 6 boards recovered, 1 gone (no factory image, listed missing), 0
// records lost, 0 databases damaged", the line every power-cut test prints.
inline std::string figures_line(std::string_view what, const CutFigures& f) {
    return fmt::format(
        "{}: {} cuts tried, {} boards recovered, {} gone (no factory image, listed missing), "
        "{} records lost, {} databases damaged\n",
        what, f.tried, f.recovered, f.gone, f.records_lost, f.databases_damaged);
}

}  // namespace tarnvel::testing
