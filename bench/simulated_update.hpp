#pragma once
// A board on the in-process route with its flash driver attached as the update attaches it,
// and the update's programming run on it with the progress line kept off the benchmark's
// report.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "device/board_device.hpp"
#include "firmware/firmware_image.hpp"
#include "programming/programming.hpp"
#include "sim/in_process.hpp"
#include "sim/model/sim_board.hpp"
#include "update/board_update.hpp"

namespace tarnvel::bench {

class SimulatedBoard {
  public:
    // Builds the board and attaches its flash driver (a parallel-flash board's bus is reset
    // there, as in the update). A failure ends the benchmark binary: the board is wired wrong.
    explicit SimulatedBoard(BoardKind kind, const sim::BoardOptions& options = {});
    ~SimulatedBoard();
    SimulatedBoard(const SimulatedBoard&) = delete;
    SimulatedBoard& operator=(const SimulatedBoard&) = delete;

    BoardDevice& device() { return device_; }
    FlashDevice& flash() { return *device_.flash; }
    sim::SimBoard& model() { return *model_; }
    // Register accesses the program made, attaching included.
    std::uint64_t accesses() const { return model_->register_accesses(); }
    // Bytes the simulated chips hold in memory.
    std::uint64_t chip_bytes() const;

  private:
    std::unique_ptr<sim::SimBoard> model_;
    sim::InProcessNode node_;
    BoardDevice device_;
};

// program_firmware with no progress shown (the programming run prints nothing itself). Returns
// the error text, or an empty string on success.
std::string program_quietly(BoardDevice& board, const FirmwareImage& image,
                            ProgrammingMode mode = ProgrammingMode::Full,
                            ProgrammingReport* report = nullptr);

// The library's update of a board run unattended, showing nothing.
class QuietDialogue final : public UpdateDialogue {
  public:
    bool confirm_write(const WriteOffer&) override { return true; }
    bool confirm_reboot(const BoardUpdateReport&) override { return false; }
    std::unique_ptr<ProgrammingObserver> progress(const BoardIdentity&, StopSignalHold*) override {
        return std::make_unique<SilentProgress>();
    }
    void stopping() override {}
};

// An image the size of `bytes`: noise, so that every block and every page differs.
FirmwareImage noise_image(std::size_t bytes, std::uint32_t seed = 1);

inline constexpr std::uint64_t kMiB = 1u << 20;

// Registers a case that runs once, timed in seconds of wall time: a whole update or more.
template <class Function, class... Args>
void register_single_run(const std::string& name, Function&& function, Args&&... args) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Function>(function),
                                 std::forward<Args>(args)...)
        ->Iterations(1)
        ->Unit(benchmark::kSecond)
        ->UseRealTime();
}

}  // namespace tarnvel::bench
