#include "sim/testbed/testbed.hpp"

#include <sys/stat.h>
#include <umockdev.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "sim/firmware/archive_images.hpp"
#include "sim/model/register_file.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/preload/reboot_socket.h"
#include "sim/support/file_text.hpp"

namespace tarnvel::sim {
namespace {

// umockdev answers a program's reads of /proc/… from the testbed's root/proc/… where that file
// exists; the machine's own /proc answers the rest.
std::filesystem::path boot_id_file(const std::filesystem::path& root) {
    return root / "proc/sys/kernel/random/boot_id";
}

std::atomic<bool> g_testbed_alive{false};

// Major number of the simulated driver's character devices; any unused one serves.
constexpr unsigned kCharMajor = 240;

Error glib_error(GError* error) {
    Error result = Error::message(ErrorKind::Other, error != nullptr ? error->message : "umockdev");
    if (error != nullptr) g_error_free(error);
    return result;
}

std::string take_gstring(gchar* text) {
    std::string result = text != nullptr ? text : "";
    g_free(text);
    return result;
}

// umockdev complains when a program dies in the middle of a register request, which is what
// a power cut or a time-out does to it on purpose; other complaints go on as before.
void drop_complaint_about_killed_clients(const gchar* domain, GLogLevelFlags level,
                                         const gchar* message, gpointer data) {
    if (message != nullptr && std::strstr(message, "Destroying IoctlClient with open stream")) {
        return;
    }
    g_log_default_handler(domain, level, message, data);
}

}  // namespace

struct Testbed::Board {
    Testbed* owner = nullptr;
    std::size_t index = 0;
    std::string devpath;  // "/devices/...", relative to the testbed's /sys
    std::string devnode;
    std::string own_parent;  // the parent device made for this board alone, if any
    std::unique_ptr<RegisterModel> model;
    FirmwareSetup firmware;
    bool present = true;
    UMockdevIoctlBase* handler = nullptr;
};

Result<std::unique_ptr<Testbed>> Testbed::create() {
    if (g_testbed_alive.exchange(true)) {
        return std::unexpected(
            Error::message(ErrorKind::ResourceBusy, "this process already holds a testbed"));
    }
    g_log_set_handler(nullptr, G_LOG_LEVEL_CRITICAL, &drop_complaint_about_killed_clients, nullptr);
    UMockdevTestbed* testbed = umockdev_testbed_new();
    if (testbed == nullptr) {
        g_testbed_alive = false;
        return std::unexpected(Error::message(ErrorKind::Other, "umockdev testbed not created"));
    }
    std::filesystem::path root = take_gstring(umockdev_testbed_get_root_dir(testbed));
    std::unique_ptr<Testbed> made(new Testbed(testbed, root));
    std::error_code ec;
    std::filesystem::create_directory(made->state_dir(), ec);
    // As a machine's /var/lib/tarnvel is, whatever the umask: the programs refuse a journal's
    // directory that others can write in.
    if (!ec) std::filesystem::permissions(made->state_dir(), std::filesystem::perms(0755), ec);
    if (ec) return std::unexpected(Error::os(ec.value()));
    if (auto booted = made->new_boot(); !booted) return std::unexpected(booted.error());
    auto listener = RebootListener::start(
        root / TARNVEL_SIM_REBOOT_SOCKET,
        [bed = made.get()](const std::filesystem::path& attribute) { bed->rebooted(attribute); });
    if (!listener) return std::unexpected(listener.error());
    made->reboot_listener_ = std::move(*listener);
    return made;
}

std::string Testbed::boot_id() const {
    return read_whole_file(boot_id_file(root_)).value_or("");
}

Status Testbed::new_boot() {
    // The kernel makes a new random UUID at every read of this file.
    auto uuid = read_whole_file("/proc/sys/kernel/random/uuid");
    if (!uuid) return std::unexpected(Error::os(ENOENT));
    std::error_code ec;
    std::filesystem::create_directories(boot_id_file(root_).parent_path(), ec);
    if (ec) return std::unexpected(Error::os(ec.value()));
    return write_whole_file(boot_id_file(root_), *uuid);
}

Testbed::Testbed(UMockdevTestbed* testbed, std::filesystem::path root)
    : testbed_(testbed), root_(std::move(root)) {}

Testbed::~Testbed() {
    reboot_listener_.reset();
    for (auto& board : boards_) {
        if (board->handler == nullptr) continue;
        umockdev_testbed_detach_ioctl(testbed_, board->devnode.c_str(), nullptr);
        g_object_unref(board->handler);
    }
    g_object_unref(testbed_);
    g_testbed_alive = false;
}

// The driver side of the register ioctl, on umockdev's worker thread.
int Testbed::handle_ioctl(UMockdevIoctlBase*, void* client_ptr, void* board_ptr) {
    auto* client = static_cast<UMockdevIoctlClient*>(client_ptr);
    auto& board = *static_cast<Board*>(board_ptr);
    unsigned long code = umockdev_ioctl_client_get_request(client);
    if (code != kRegisterIoctl) return FALSE;  // umockdev fails it as an unknown request

    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(RegisterRequest), &error);
    if (data == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    RegisterRequest request;
    std::memcpy(&request, data->data, sizeof request);
    int result;
    {
        std::lock_guard lock(board.owner->mutex_);
        result = serve_register_request(*board.model, code, request);
    }
    std::memcpy(data->data, &request, sizeof request);
    umockdev_ioctl_data_unref(data);
    if (result == 0) {
        umockdev_ioctl_client_complete(client, 0, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, result);
    }
    return TRUE;
}

Result<std::string> Testbed::make_parent(const BoardParent& parent,
                                         std::optional<unsigned> wanted_slot) {
    if (const auto* sub = std::get_if<SubDeviceOf>(&parent)) {
        if (sub->board >= boards_.size()) return std::unexpected(Error::os(EINVAL));
        return boards_[sub->board]->devpath;
    }
    // Each parent gets a slot of its own; libudev lists devices sorted by syspath, so boards
    // behind PCI parents are listed in the order they were added.
    const unsigned slot = wanted_slot.value_or(parents_made_ + 1);
    parents_made_ = std::max(parents_made_, slot);
    std::string devpath;
    std::string description;
    if (std::holds_alternative<PciParent>(parent)) {
        devpath = fmt::format("/devices/pci0000:00/0000:{:02x}:00.0", slot);
        description = fmt::format("P: {}\nE: SUBSYSTEM=pci\nE: PCI_SLOT_NAME=0000:{:02x}:00.0\n",
                                  devpath, slot);
    } else {
        const auto& other = std::get<OtherParent>(parent);
        devpath = fmt::format("/devices/{}/tarnvel-sim.{}", other.subsystem, slot);
        description = fmt::format("P: {}\nE: SUBSYSTEM={}\n", devpath, other.subsystem);
    }
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
        return std::unexpected(glib_error(error));
    }
    // Attribute texts are written byte for byte (umockdev's text format would unescape them).
    if (const auto* pci = std::get_if<PciParent>(&parent); pci != nullptr && pci->device) {
        if (auto set = write_whole_file(root_ / ("sys" + devpath) / "device", *pci->device); !set) {
            return std::unexpected(set.error());
        }
    }
    return devpath;
}

Result<std::size_t> Testbed::add_board(BoardConfig config) {
    const std::size_t index = boards_.size();
    const unsigned number = config.node_number.value_or(static_cast<unsigned>(index));
    const std::string devnode = fmt::format("/dev/tarnvel{}", number);
    for (const auto& other : boards_) {
        if (other->devnode == devnode) return std::unexpected(Error::os(EEXIST));
    }
    auto parent = make_parent(config.parent, config.slot);
    if (!parent) return std::unexpected(parent.error());

    auto board = std::make_unique<Board>();
    board->owner = this;
    board->index = index;
    board->devpath = fmt::format("{}/tarnvel/tarnvel{}", *parent, number);
    board->devnode = devnode;
    if (!std::holds_alternative<SubDeviceOf>(config.parent)) board->own_parent = *parent;
    board->model = config.model ? std::move(config.model) : std::make_unique<RegisterFile>();
    board->firmware.shipped_version = config.version;
    if (config.factory_image) {
        board->firmware.factory_version =
            config.factory_version ? *config.factory_version
                                   : default_factory_version(config.version.value_or(""));
    }
    board->firmware.images = std::move(config.images);
    board->firmware.unbootable = config.unbootable;

    // The handler is chosen when the node is opened, by its path: attach it first.
    board->handler = umockdev_ioctl_base_new();
    g_signal_connect(board->handler, "handle-ioctl", G_CALLBACK(&Testbed::handle_ioctl),
                     board.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), board->handler, &error)) {
        g_object_unref(board->handler);
        return std::unexpected(glib_error(error));
    }
    Board& added = *board;
    {
        std::lock_guard lock(mutex_);
        boards_.push_back(std::move(board));
    }

    // "N: name=00" makes the node a regular file holding one byte; the register ioctl on it
    // is umockdev's to answer. Without that line the node does not exist.
    std::string description = fmt::format(
        "P: {}\n{}E: SUBSYSTEM=tarnvel\nE: DEVNAME={}\nE: MAJOR={}\nE: MINOR={}\nA: dev={}:{}\n",
        added.devpath,
        config.node == NodeState::Missing ? std::string()
                                          : fmt::format("N: tarnvel{}=00\n", number),
        devnode, kCharMajor, number, kCharMajor, number);
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
        return std::unexpected(glib_error(error));
    }
    if (config.node == NodeState::PermissionDenied) {
        if (::chmod((root_ / ("dev/tarnvel" + std::to_string(number))).c_str(), 0) != 0) {
            return std::unexpected(Error::os(errno));
        }
    }

    for (const auto& [name, value] :
         {std::pair{"version", &config.version}, std::pair{"software_id", &config.software_id}}) {
        if (!*value) continue;
        if (auto set = set_attribute(index, name, **value); !set)
            return std::unexpected(set.error());
    }

    const std::filesystem::path reboot = sysfs_dir(index) / "reboot";
    switch (config.reboot) {
        case RebootState::Accepts:
        case RebootState::PermissionDenied:
            if (auto made = write_whole_file(reboot, ""); !made)
                return std::unexpected(made.error());
            // The program runs without DAC override, so a read-only file refuses it.
            if (config.reboot == RebootState::PermissionDenied &&
                ::chmod(reboot.c_str(), 0444) != 0) {
                return std::unexpected(Error::os(errno));
            }
            break;
        case RebootState::IsDirectory:
            if (::mkdir(reboot.c_str(), 0755) != 0) return std::unexpected(Error::os(errno));
            break;
        case RebootState::Missing: break;
    }
    return index;
}

const std::string& Testbed::devnode(std::size_t board) const {
    return boards_.at(board)->devnode;
}

RegisterModel& Testbed::model(std::size_t board) {
    return *boards_.at(board)->model;
}

std::string Testbed::syspath(std::size_t board) const {
    return "/sys" + boards_.at(board)->devpath;
}

std::filesystem::path Testbed::sysfs_dir(std::size_t board) const {
    return root_ / ("sys" + boards_.at(board)->devpath);
}

std::optional<std::string> Testbed::attribute(std::size_t board, std::string_view name) const {
    const std::filesystem::path path = sysfs_dir(board) / name;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    return read_whole_file(path);
}

std::optional<std::string> Testbed::reboot_written(std::size_t board) const {
    auto text = attribute(board, "reboot");
    if (text && text->ends_with('\n')) text->pop_back();
    return text;
}

Status Testbed::set_attribute(std::size_t board, std::string_view name, std::string_view value) {
    return write_whole_file(sysfs_dir(board) / name, value);
}

void Testbed::set_firmware_archives(std::filesystem::path dir) {
    std::lock_guard lock(mutex_);
    firmware_archives_ = std::move(dir);
}

bool Testbed::present(std::size_t board) const {
    std::lock_guard lock(mutex_);
    return boards_.at(board)->present;
}

LoadedFirmware Testbed::load_firmware(std::size_t board) {
    std::lock_guard lock(mutex_);
    return load_firmware_locked(*boards_.at(board));
}

LoadedFirmware Testbed::load_firmware_locked(Board& board) {
    if (!board.present) return {LoadSource::Nothing, std::nullopt};
    const std::vector<KnownImage> catalogue =
        firmware_archives_.empty() ? std::vector<KnownImage>{} : archive_images(firmware_archives_);
    SimBoard* hardware = board.model->hardware();
    LoadedFirmware loaded =
        sim::load_firmware(hardware != nullptr ? hardware->firmware_flash() : nullptr,
                           hardware != nullptr ? hardware->kind() : BoardKind::Unsupported,
                           board.firmware, attribute(board.index, "version"), catalogue);
    if (loaded.source == LoadSource::Nothing) {
        // Gone from the bus: the device (with its parent, when that was the board's alone) and
        // its node. A failure shows in the test as a board that is still there.
        board.present = false;
        umockdev_testbed_remove_device(testbed_, ("/sys" + board.devpath).c_str());
        if (!board.own_parent.empty()) {
            umockdev_testbed_remove_device(testbed_, ("/sys" + board.own_parent).c_str());
        }
        std::error_code ec;
        std::filesystem::remove(root_ / board.devnode.substr(1), ec);
    } else if (loaded.version) {
        // A failed write shows in the test as the old version after the start.
        (void)set_attribute(board.index, "version", *loaded.version);
    }
    return loaded;
}

void Testbed::rebooted(const std::filesystem::path& attribute) {
    std::lock_guard lock(mutex_);
    for (auto& board : boards_) {
        std::error_code ec;
        if (board->present && std::filesystem::weakly_canonical(sysfs_dir(board->index) / "reboot",
                                                                ec) == attribute) {
            load_firmware_locked(*board);
            return;
        }
    }
}

}  // namespace tarnvel::sim
