#pragma once
// The power of a simulated machine's boards, which can be cut at a chosen register access: the
// N-th of the run, counted over every board on the supply from 1, the way a machine loses
// power in the middle of whatever its boards were doing.
//
// That access never reaches its board. At it every board's chips stop where they are
// (SimBoard::cut_power with the plan's seed: an operation in progress is left half done, see
// operation_in_progress.hpp), the supply's cut handler runs (inside the register access, so
// before the program hears anything back), and that access and every later one fail with
// ENODEV, as on a board without power. Replaying the same plan on the same run leaves the same
// cells.
//
// Not thread-safe: whoever serves boards from several threads locks around every access (the
// testbed does).

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sim/model/register_model.hpp"

namespace tarnvel::sim {

struct PowerCutPlan {
    std::uint64_t access = 0;  // 1-based number of the access at which the power goes; 0: never
    std::uint64_t seed = 0;    // for the chips' half-done operations
};

class PoweredBoard;

class PowerSupply {
  public:
    using CutHandler = std::function<void()>;

    explicit PowerSupply(PowerCutPlan plan = {}, CutHandler on_cut = {});
    PowerSupply(const PowerSupply&) = delete;
    PowerSupply& operator=(const PowerSupply&) = delete;

    // A board on this supply: its accesses through the returned model count. The supply must
    // outlive it.
    std::unique_ptr<PoweredBoard> connect(std::unique_ptr<RegisterModel> board);
    std::unique_ptr<PoweredBoard> connect(RegisterModel& board);

    // Cuts the power now, between two accesses, as a plan naming the next access would: the
    // chips stop where they are, the cut handler runs, and no later access reaches a board.
    // The seed is the plan's when it named an access, else the next access's number. Answers
    // the plan the power was cut by; after an earlier cut that one's, and nothing changes.
    const PowerCutPlan& cut_now();

    bool cut() const { return cut_; }
    // Accesses so far, the failed ones included.
    std::uint64_t accesses() const { return accesses_; }
    const PowerCutPlan& plan() const { return plan_; }

  private:
    friend class PoweredBoard;
    // Counts an access; false when there is no power for it.
    bool admit();
    void cut_boards();

    PowerCutPlan plan_;
    CutHandler on_cut_;
    std::uint64_t accesses_ = 0;
    bool cut_ = false;
    std::vector<PoweredBoard*> boards_;
};

class PoweredBoard final : public RegisterModel {
  public:
    ~PoweredBoard() override;

    int read(std::uint32_t reg, std::uint32_t& value) override;
    int write(std::uint32_t reg, std::uint32_t value) override;
    SimBoard* hardware() override { return inner_->hardware(); }

    RegisterModel& inner() { return *inner_; }

  private:
    friend class PowerSupply;
    PoweredBoard(PowerSupply& supply, std::unique_ptr<RegisterModel> owned, RegisterModel& inner);

    PowerSupply& supply_;
    std::unique_ptr<RegisterModel> owned_;
    RegisterModel* inner_;
};

}  // namespace tarnvel::sim
