#pragma once
// What a run over a board's flash tells while it works: the programming run, a comparison or a
// read of the image region. The run itself prints nothing: each program shows progress and
// retries its own way (a progress line, a bar on standard error, nothing).

#include <cstdint>

#include "flash/flash_device.hpp"

namespace tarnvel {

// One pass over one block of the image, as the programming run reports it before the pass
// starts: an erase, write and read-back pass, or the read that finds out whether the block
// already holds the image.
struct BlockPass {
    std::uint32_t block = 0;        // 0-based index of the block
    std::uint32_t block_count = 0;  // blocks the image covers
    std::uint32_t offset = 0;       // image bytes in the blocks before this one
    std::uint32_t length = 0;       // image bytes in this block
    std::uint32_t image_length = 0;
    unsigned retry = 0;  // 0 for the first pass, then 1 to 5
};

// What a pass over a block is doing when it reports bytes done within the block.
enum class BlockStep : std::uint8_t {
    Read,      // reading it: to find out whether it holds the image, to verify or copy it
    Write,     // programming it, after its erase
    ReadBack,  // reading back what was programmed
};

class ProgrammingObserver {
  public:
    virtual ~ProgrammingObserver() = default;
    // Before every pass over a block, the repeated passes of a retried block included.
    virtual void pass_started(const BlockPass& pass) = 0;
    // A block's read-back differed from what was written, and the block is to be done again.
    virtual void retrying(const BlockPass& failed_pass) = 0;
    // Only in runs that write the blocks that differ: before a block is read to find out
    // whether it already holds the image. Either block_unchanged follows, or the block's first
    // pass_started.
    virtual void compare_started(const BlockPass&) {}
    // The block already holds the image: it is neither erased nor written, and the read that
    // found it so was its verification.
    virtual void block_unchanged(const BlockPass&) {}
    // Only before a write that keeps what the flash holds over the image's span first: before
    // each block of that read, which is no part of the write yet (nothing is erased or written
    // until it has ended) and also tells which blocks differ. The write's own calls follow once
    // the read has ended. Heard as a comparison unless the observer tells the two apart.
    virtual void held_read_started(const BlockPass& pass) { compare_started(pass); }
    // Within a block, after each program page written or read: `bytes` of the block are done
    // by `step`. A block of 64 KiB can take seconds on a slow board; this is how a bar moves
    // meanwhile.
    virtual void block_progress(const BlockPass&, BlockStep, std::uint32_t /*bytes*/) {}
};

// For runs that show nothing.
class SilentProgress final : public ProgrammingObserver {
  public:
    void pass_started(const BlockPass&) override {}
    void retrying(const BlockPass&) override {}
};

// While it lives, every page the flash writes or reads is reported to `observer` as `step` of
// `pass`.
class PagesReported {
  public:
    PagesReported(FlashDevice& flash, ProgrammingObserver& observer, const BlockPass& pass,
                  BlockStep step)
        : flash_(flash) {
        flash_.set_progress([&observer, &pass, step](std::uint32_t bytes) {
            observer.block_progress(pass, step, bytes);
        });
    }
    ~PagesReported() { flash_.set_progress({}); }
    PagesReported(const PagesReported&) = delete;
    PagesReported& operator=(const PagesReported&) = delete;

  private:
    FlashDevice& flash_;
};

}  // namespace tarnvel
