#include "sim/model/power_supply.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "sim/model/sim_board.hpp"

namespace tarnvel::sim {

PowerSupply::PowerSupply(PowerCutPlan plan, CutHandler on_cut)
    : plan_(plan), on_cut_(std::move(on_cut)) {}

std::unique_ptr<PoweredBoard> PowerSupply::connect(std::unique_ptr<RegisterModel> board) {
    RegisterModel& inner = *board;
    return std::unique_ptr<PoweredBoard>(new PoweredBoard(*this, std::move(board), inner));
}

std::unique_ptr<PoweredBoard> PowerSupply::connect(RegisterModel& board) {
    return std::unique_ptr<PoweredBoard>(new PoweredBoard(*this, nullptr, board));
}

bool PowerSupply::admit() {
    ++accesses_;
    if (cut_) return false;
    if (accesses_ != plan_.access) return true;
    cut_boards();
    return false;
}

const PowerCutPlan& PowerSupply::cut_now() {
    if (cut_) return plan_;
    if (plan_.access == 0) plan_.seed = accesses_ + 1;
    plan_.access = accesses_ + 1;
    cut_boards();
    return plan_;
}

void PowerSupply::cut_boards() {
    cut_ = true;
    for (PoweredBoard* board : boards_) {
        if (SimBoard* hardware = board->hardware()) hardware->cut_power(plan_.seed);
    }
    if (on_cut_) on_cut_();
}

PoweredBoard::PoweredBoard(PowerSupply& supply, std::unique_ptr<RegisterModel> owned,
                           RegisterModel& inner)
    : supply_(supply), owned_(std::move(owned)), inner_(&inner) {
    supply_.boards_.push_back(this);
}

PoweredBoard::~PoweredBoard() {
    std::erase(supply_.boards_, this);
}

int PoweredBoard::read(std::uint32_t reg, std::uint32_t& value) {
    if (!supply_.admit()) return ENODEV;
    return inner_->read(reg, value);
}

int PoweredBoard::write(std::uint32_t reg, std::uint32_t value) {
    if (!supply_.admit()) return ENODEV;
    return inner_->write(reg, value);
}

}  // namespace tarnvel::sim
