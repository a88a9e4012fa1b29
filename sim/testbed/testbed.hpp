#pragma once
// The simulated kernel driver: a umockdev testbed in which boards appear in the udev
// subsystem "tarnvel" with their sysfs attributes, parent devices and device nodes, and in
// which the register ioctl on each node is served by that board's RegisterModel.
//
// A program sees the testbed when it runs with libumockdev-preload and the testbed's
// UMOCKDEV_DIR in its environment (run_program and spawn_in_sandbox see to both). umockdev
// keeps the testbed's location in the process environment, so a process holds one Testbed
// at a time.
//
// A board runs the firmware it loaded (sim/model/firmware_load.hpp) until it loads again:
// when a program writes "reboot" (the preload library that run_program and spawn_in_sandbox
// put beside umockdev's reports the write to this testbed, which answers it before the write
// returns), or when the test calls load_firmware().
//
// The ioctl handlers run on umockdev's worker thread, the answers to "reboot" on a thread of
// the testbed. Every model call happens under the testbed's lock: inspect a model with
// with_model() while a program may still run, or through model() once it has exited.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "sim/model/firmware_load.hpp"
#include "sim/model/register_model.hpp"
#include "sim/testbed/board_config.hpp"
#include "sim/testbed/reboot_listener.hpp"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace tarnvel::sim {

class Testbed {
  public:
    // Fails when umockdev can't set up, or when this process already holds a Testbed.
    static Result<std::unique_ptr<Testbed>> create();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Adds a board (or a sub-device, or a foreign device) and answers its index. Add boards
    // before a program starts: a node's handler is chosen when the node is opened.
    Result<std::size_t> add_board(BoardConfig config);
    std::size_t board_count() const { return boards_.size(); }

    // "/dev/tarnvelN".
    const std::string& devnode(std::size_t board) const;
    // The device's sysfs path as libudev reports it ("/sys/devices/...").
    std::string syspath(std::size_t board) const;
    // The content of one of the board's sysfs attribute files; none when it is not a
    // readable file.
    std::optional<std::string> attribute(std::size_t board, std::string_view name) const;
    // What the program wrote to "reboot", without the line break libudev appends; empty when
    // nothing was written, none when "reboot" is not a file.
    std::optional<std::string> reboot_written(std::size_t board) const;
    // Replaces the text of one of the board's sysfs attributes.
    Status set_attribute(std::size_t board, std::string_view name, std::string_view value);

    // The directory whose archives' images every board knows besides its own
    // (sim/firmware/archive_images.hpp); read again each time a board loads its firmware.
    void set_firmware_archives(std::filesystem::path dir);
    // The board loads its firmware, as at power-on or when "reboot" is written: its "version"
    // then reports what it started, or, when it could start nothing, it is gone from udev and
    // /dev for good. Safe from any thread but a model call's.
    LoadedFirmware load_firmware(std::size_t board);
    // Whether the board is still there.
    bool present(std::size_t board) const;

    // Runs `inspect(model)` under the testbed's lock.
    template <class F>
    decltype(auto) with_model(std::size_t board, F&& inspect) {
        std::lock_guard lock(mutex_);
        return inspect(model(board));
    }
    // Runs `act()` under the testbed's lock: between two register accesses of any board.
    template <class F>
    decltype(auto) locked(F&& act) {
        std::lock_guard lock(mutex_);
        return act();
    }
    // The board's model without the lock: only while no program runs.
    RegisterModel& model(std::size_t board);
    template <class Model>
    Model* model_as(std::size_t board) {
        return dynamic_cast<Model*>(&model(board));
    }

    // The machine's boot as programs read it (/proc/sys/kernel/random/boot_id, which the
    // testbed answers): every testbed is a boot of its own. A warm reboot of the machine is
    // new_boot() alone; a power cycle is new_boot() and every board loading its firmware.
    std::string boot_id() const;
    Status new_boot();

    // The testbed's root: sysfs lies in root/sys, device nodes in root/dev.
    const std::filesystem::path& root_dir() const { return root_; }
    // A state directory of the machine's own (root/var-lib-tarnvel), for programs run in it
    // without one of their caller's.
    std::filesystem::path state_dir() const { return root_ / "var-lib-tarnvel"; }

  private:
    struct Board;
    Testbed(UMockdevTestbed* testbed, std::filesystem::path root);
    static int handle_ioctl(UMockdevIoctlBase* handler, void* client, void* board);
    Result<std::string> make_parent(const BoardParent& parent, std::optional<unsigned> slot);
    std::filesystem::path sysfs_dir(std::size_t board) const;
    // Answers a write to the "reboot" attribute at `attribute` (a resolved path).
    void rebooted(const std::filesystem::path& attribute);
    LoadedFirmware load_firmware_locked(Board& board);

    UMockdevTestbed* testbed_;
    std::filesystem::path root_;
    std::vector<std::unique_ptr<Board>> boards_;
    unsigned parents_made_ = 0;
    std::filesystem::path firmware_archives_;
    mutable std::mutex mutex_;
    std::unique_ptr<RebootListener> reboot_listener_;
};

}  // namespace tarnvel::sim
