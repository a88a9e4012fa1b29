#pragma once
// A register model for tests: logs every access and answers reads from per-register queues,
// then from a callback. One access can be made to fail with a chosen errno.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <vector>

#include "sim/in_process.hpp"
#include "sim/model/register_model.hpp"

namespace tarnvel::testing {

enum class Op : std::uint8_t { Read, Write };

struct Access {
    Op op;
    std::uint32_t reg;
    std::uint32_t value;
    friend bool operator==(const Access&, const Access&) = default;
};

inline Access rd(std::uint32_t reg, std::uint32_t value) {
    return {Op::Read, reg, value};
}
inline Access wr(std::uint32_t reg, std::uint32_t value) {
    return {Op::Write, reg, value};
}

inline std::ostream& operator<<(std::ostream& out, const Access& a) {
    return out << (a.op == Op::Read ? "read " : "write ") << std::hex << "0x" << a.reg << " 0x"
               << a.value << std::dec;
}

class ScriptedRegisters : public sim::RegisterModel {
  public:
    // Answers the next reads of `reg` with these values, in order.
    void queue_reads(std::uint32_t reg, std::initializer_list<std::uint32_t> values) {
        queues_[reg].insert(queues_[reg].end(), values);
    }
    // Answers the reads that no queue covers; unset, they read 0.
    std::function<std::uint32_t(std::uint32_t reg)> reader;

    // Makes access number `index` (from 0, reads and writes alike) fail with `errnum`; the
    // failed access is not logged.
    void fail_access(std::size_t index, int errnum) { failure_ = {index, errnum}; }

    const std::vector<Access>& log() const { return log_; }
    std::size_t count(Op op, std::uint32_t reg) const {
        std::size_t n = 0;
        for (const Access& a : log_) n += (a.op == op && a.reg == reg) ? 1 : 0;
        return n;
    }
    std::vector<std::uint32_t> writes_to(std::uint32_t reg) const {
        std::vector<std::uint32_t> values;
        for (const Access& a : log_) {
            if (a.op == Op::Write && a.reg == reg) values.push_back(a.value);
        }
        return values;
    }

    int read(std::uint32_t reg, std::uint32_t& value) override {
        if (int err = fails_now()) return err;
        auto& queue = queues_[reg];
        if (!queue.empty()) {
            value = queue.front();
            queue.pop_front();
        } else {
            value = reader ? reader(reg) : 0;
        }
        log_.push_back({Op::Read, reg, value});
        return 0;
    }

    int write(std::uint32_t reg, std::uint32_t value) override {
        if (int err = fails_now()) return err;
        log_.push_back({Op::Write, reg, value});
        return 0;
    }

  private:
    struct Failure {
        std::size_t index;
        int errnum;
    };
    int fails_now() {
        const std::size_t index = accesses_++;
        return failure_ && failure_->index == index ? failure_->errnum : 0;
    }

    std::map<std::uint32_t, std::deque<std::uint32_t>> queues_;
    std::vector<Access> log_;
    std::size_t accesses_ = 0;
    std::optional<Failure> failure_;
};

// Scripted registers behind a descriptor that reaches them through the register channel.
struct ScriptedBoard {
    ScriptedRegisters regs;
    sim::InProcessNode node{regs};
    int fd() const { return node.fd(); }
};

}  // namespace tarnvel::testing
