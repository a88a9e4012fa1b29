#pragma once
// The program or erase a simulated flash chip is carrying out, for a power cut to interrupt.
//
// A chip changes its cells as soon as an operation starts and then stays busy for the
// operation's time (busy_state.hpp); it is in progress until a status poll sees it done. What
// the cells held before is kept here, so that a power cut in that time can leave them as a
// real NOR part plausibly does, half done. The choice is deterministic, from a seed:
//
// - The operation works through its cells in address order. The first k cells have reached
//   their new value (programmed, or erased to 0xFF), the cells after the k-th keep their old
//   one; the k-th itself has some of its bits changed and the others not.
// - k (0 to the operation's length) and the bits of the k-th cell come from a pseudo-random
//   generator (SplitMix64) seeded with the seed mixed with the operation's first address.
//
// A program covers its whole page (serial) or write buffer (parallel), an erase its whole
// block or sector; cells the operation leaves alone have the same old and new value.

#include <cstdint>
#include <vector>

#include "sim/model/flash_storage.hpp"

namespace tarnvel::sim {

class OperationInProgress {
  public:
    // Call before the operation changes the cells [address, address + length), which must not
    // wrap at the end of the storage.
    void begin(const FlashStorage& storage, std::uint32_t address, std::uint32_t length);
    // The power goes while the operation runs: the cells are left half done, as above.
    void interrupt(FlashStorage& storage, std::uint64_t seed) const;

  private:
    std::uint8_t before(std::uint32_t offset) const;

    std::uint32_t address_ = 0;
    std::uint32_t length_ = 0;
    // The cells' old content; for storage pages never touched, the pre-fill (not copied).
    std::vector<std::uint8_t> before_;
    std::vector<bool> pristine_pages_;  // per storage page the operation covers, from the first
};

}  // namespace tarnvel::sim
