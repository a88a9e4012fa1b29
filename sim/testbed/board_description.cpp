#include "sim/testbed/board_description.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <utility>

namespace tarnvel::sim {
namespace {

constexpr std::string_view kHelp =
    R"(A board is one argument: settings separated by commas, applied left to right.
  kind=K              board kind 0-10 (see the table at the end): a PCI parent
                      with a device ID of that kind, the first hardware version
                      of its table, firmware 100
  device=TEXT         the PCI parent's "device" attribute, verbatim (e.g. 0x0x22)
  no-device           the PCI parent has no "device" attribute
  parent=pci          the parent is a PCI device (the default)
  parent=SUBSYSTEM    the parent is a device of another bus (e.g. platform)
  parent=board:I      a sub-device of the I-th board of the list (from 0)
  version=TEXT        the "version" attribute (e.g. 4.1r123); no-version: none
  software_id=TEXT    the "software_id" attribute; no-software-id: none
  node=N              the device node /dev/tarnvelN (default: the board's place in the list)
  slot=N              the parent's slot N, 1-255: PCI 0000:NN:00.0, NN being N in hex
                      (default: the slot after the highest before it); keep them distinct
  node-state=S        present, missing (ENOENT) or denied (EACCES)
  reboot=S            accepts, missing (ENOENT), directory (EISDIR) or denied (EACCES)
  factory=TEXT        "version" when the board starts its factory image, which it
                      does when its flash holds no image it knows (default: the
                      hardware part of its version, firmware 0)
  factory=none        no factory image: such a board is gone from udev and /dev
  unbootable=N        the board cannot start firmware N: with that image in its flash
                      it starts its factory image (or, with factory=none, is gone);
                      may be given more than once
  archive=A           newer, equal, older (than the board's firmware) or none
  image-size=BYTES    size of the generated image (default 4096)
  model=M             hardware (the kind's flash controller and chips) or registers
  fault=N[:ERRNO][+]  fail the N-th register access with ERRNO (default EIO=5);
                      with + every access from the N-th on
Another part in place of the flash chip that holds the board's firmware (sizes in
bytes, or with K, M or G; powers of two):
  flash-size=BYTES    its capacity, 64K to 2G (the serial part's JEDEC ID capacity
                      byte follows it)
  sector-size=BYTES   what one erase command erases, 4K to 16M (serial: Block Erase
                      0xD8/0xDC, 256K on uniform-sector parts; parallel: sector erase)
  buffer-size=BYTES   the parallel part's write buffer, 2 to 1024 (64: a 32-word part)
  no-4byte-commands   a serial part without 0x13, 0x12, 0xDC (and no SFDP table for them)
  no-sfdp             a serial part without SFDP, known only by its JEDEC ID
  jedec-id=HEX        the serial part's JEDEC ID, six hex digits (e.g. 3d7119); by
                      default 3d71 and the capacity byte of flash-size=
  sfdp=FILE           the serial part answers Read SFDP (0x5A) with FILE: a real
                      part's raw SFDP space from address 0, at most 64K (read at
                      every run, so keep it where it is with --state)
  cfi=FILE            the parallel part answers the CFI query with FILE: a real part's
                      raw query, one byte per word from word address 0x10 ("QRY") on,
                      at most 240 bytes (to word 0xFF)
The tables only describe the part; the settings above say how it behaves: give a
real table the flash-size=, sector-size=, no-4byte-commands and jedec-id= of its
part, or one that differs to see what a part that misdescribes itself does.
A value runs to the next comma; values with commas can't be given.

A board runs the firmware it loaded until "reboot" is written or the power comes
on again (--state): then it starts what its flash holds at the kind's base
address, when that is in full an image of the firmware archives (reporting that
image's version beside its own hardware part) or still the image it was made
with (its version= text); otherwise its factory image.
)";

// SFDP tables of real parts take a few hundred bytes; the query lies in words 0x10 to 0xFF.
constexpr std::size_t kSfdpFileLimit = 64u << 10;
constexpr std::size_t kCfiFileLimit = 0xF0;

template <class T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// A power of two of bytes, with an optional K, M or G (1024-based), within [low, high].
std::optional<std::uint32_t> parse_size(std::string_view text, std::uint64_t low,
                                        std::uint64_t high) {
    std::uint64_t unit = 1;
    if (!text.empty()) {
        switch (text.back()) {
            case 'K': unit = 1u << 10; break;
            case 'M': unit = 1u << 20; break;
            case 'G': unit = 1u << 30; break;
            default: break;
        }
        if (unit != 1) text.remove_suffix(1);
    }
    auto n = parse_number<std::uint64_t>(text);
    if (!n || *n > high / unit) return std::nullopt;
    const std::uint64_t bytes = *n * unit;
    if (bytes < low || bytes > high || (bytes & (bytes - 1)) != 0) return std::nullopt;
    return static_cast<std::uint32_t>(bytes);
}

std::optional<std::array<std::uint8_t, 3>> parse_jedec_id(std::string_view text) {
    if (text.size() != 6) return std::nullopt;
    std::array<std::uint8_t, 3> id{};
    for (std::size_t i = 0; i < id.size(); ++i) {
        auto [end, ec] = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, id[i], 16);
        if (ec != std::errc() || end != text.data() + 2 * i + 2) return std::nullopt;
    }
    return id;
}

// A part's table from a regular file of at most `limit` bytes; none, with why, when it can't be
// had. Opened without waiting on a FIFO, and never more read than a table can be: /dev/zero,
// a FIFO or a directory is refused at once.
std::optional<std::string_view> read_table(std::string_view file, std::size_t limit,
                                           std::vector<std::uint8_t>& table) {
    if (file.empty()) return "a file name";
    const int fd = ::open(std::string(file).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "can't read the file";
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return "not a regular file";
    }
    std::vector<std::uint8_t> bytes(limit + 1);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (done == 0) return "the file is empty";
    if (done > limit) return "the file is larger than a table is";
    bytes.resize(done);
    table = std::move(bytes);
    return std::nullopt;
}

Error bad(std::string_view setting, std::string_view why) {
    return Error::message(ErrorKind::InvalidInput,
                          fmt::format("board setting \"{}\": {}", setting, why));
}

std::optional<RegisterFault> parse_fault(std::string_view text) {
    RegisterFault fault;
    if (text.ends_with('+')) {
        fault.persistent = true;
        text.remove_suffix(1);
    }
    std::string_view access = text.substr(0, text.find(':'));
    auto n = parse_number<std::uint64_t>(access);
    if (!n || *n == 0) return std::nullopt;
    fault.access = *n;
    if (access.size() < text.size()) {
        auto error = parse_number<int>(text.substr(access.size() + 1));
        if (!error || *error <= 0) return std::nullopt;
        fault.error = *error;
    }
    return fault;
}

// Applies one "key=value" or flag; answers why it does not fit, if it does not.
std::optional<std::string_view> apply(BoardDescription& board, std::string_view key,
                                      std::optional<std::string_view> value) {
    BoardConfig& config = board.config;
    auto pci = [&config]() -> PciParent& {
        if (!std::holds_alternative<PciParent>(config.parent)) config.parent = PciParent{};
        return std::get<PciParent>(config.parent);
    };
    if (!value) {
        if (key == "no-device")
            pci().device.reset();
        else if (key == "no-version")
            config.version.reset();
        else if (key == "no-software-id")
            config.software_id.reset();
        else if (key == "no-4byte-commands")
            board.flash_part.no_four_byte_commands = true;
        else if (key == "no-sfdp")
            board.flash_part.no_sfdp = true;
        else
            return "unknown flag";
        return std::nullopt;
    }
    const std::string_view v = *value;
    if (key == "kind") {
        auto kind = parse_number<unsigned>(v);
        if (!kind || *kind >= kBoardKindCount) return "kind is 0 to 10";
        board.kind = static_cast<BoardKind>(*kind);
        BoardConfig defaults = BoardConfig::of_kind(*board.kind);
        config.parent = std::move(defaults.parent);
        config.version = std::move(defaults.version);
    } else if (key == "device") {
        pci().device = std::string(v);
    } else if (key == "parent") {
        if (v == "pci") {
            pci();
        } else if (v.starts_with("board:")) {
            auto index = parse_number<std::size_t>(v.substr(6));
            if (!index) return "board:I needs the index of an earlier board";
            config.parent = SubDeviceOf{*index};
        } else if (!v.empty()) {
            config.parent = OtherParent{std::string(v)};
        } else {
            return "empty subsystem";
        }
    } else if (key == "version") {
        config.version = std::string(v);
    } else if (key == "software_id") {
        config.software_id = std::string(v);
    } else if (key == "slot") {
        auto n = parse_number<unsigned>(v);
        if (!n || *n == 0 || *n > 255) return "slot is a number from 1 to 255";
        config.slot = *n;
    } else if (key == "node") {
        auto n = parse_number<unsigned>(v);
        if (!n) return "node is a number";
        config.node_number = *n;
    } else if (key == "node-state") {
        if (v == "present")
            config.node = NodeState::Present;
        else if (v == "missing")
            config.node = NodeState::Missing;
        else if (v == "denied")
            config.node = NodeState::PermissionDenied;
        else
            return "present, missing or denied";
    } else if (key == "reboot") {
        if (v == "accepts")
            config.reboot = RebootState::Accepts;
        else if (v == "missing")
            config.reboot = RebootState::Missing;
        else if (v == "directory")
            config.reboot = RebootState::IsDirectory;
        else if (v == "denied")
            config.reboot = RebootState::PermissionDenied;
        else
            return "accepts, missing, directory or denied";
    } else if (key == "factory") {
        config.factory_image = v != "none";
        if (config.factory_image) config.factory_version = std::string(v);
    } else if (key == "unbootable") {
        auto n = parse_number<std::int32_t>(v);
        if (!n) return "a firmware version";
        config.unbootable.push_back(*n);
    } else if (key == "archive") {
        if (v == "newer")
            board.archive = ArchivePlan::Newer;
        else if (v == "equal")
            board.archive = ArchivePlan::Equal;
        else if (v == "older")
            board.archive = ArchivePlan::Older;
        else if (v == "none")
            board.archive = ArchivePlan::None;
        else
            return "newer, equal, older or none";
    } else if (key == "image-size") {
        auto size = parse_number<std::size_t>(v);
        if (!size || *size == 0) return "a positive number of bytes";
        board.image_size = *size;
    } else if (key == "model") {
        if (v == "hardware")
            board.model = ModelChoice::Hardware;
        else if (v == "registers")
            board.model = ModelChoice::Registers;
        else
            return "hardware or registers";
    } else if (key == "fault") {
        board.fault = parse_fault(v);
        if (!board.fault) return "N[:ERRNO][+] with N from 1";
    } else if (key == "flash-size") {
        board.flash_part.size = parse_size(v, 64u << 10, 2u << 30);
        if (!board.flash_part.size) return "a power of two from 64K to 2G";
    } else if (key == "sector-size") {
        board.flash_part.sector_size = parse_size(v, 4u << 10, 16u << 20);
        if (!board.flash_part.sector_size) return "a power of two from 4K to 16M";
    } else if (key == "buffer-size") {
        board.flash_part.buffer_size = parse_size(v, 2, 1024);
        if (!board.flash_part.buffer_size) return "a power of two from 2 to 1024";
    } else if (key == "sfdp") {
        return read_table(v, kSfdpFileLimit, board.flash_part.sfdp);
    } else if (key == "cfi") {
        return read_table(v, kCfiFileLimit, board.flash_part.cfi);
    } else if (key == "jedec-id") {
        board.flash_part.jedec_id = parse_jedec_id(v);
        if (!board.flash_part.jedec_id) return "six hex digits";
    } else {
        return "unknown setting";
    }
    return std::nullopt;
}

}  // namespace

Result<BoardDescription> parse_board_description(std::string_view text) {
    BoardDescription board;
    if (text.empty()) return std::unexpected(bad(text, "empty board description"));
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view setting = text.substr(0, comma);
        const std::size_t equals = setting.find('=');
        const std::string_view key = setting.substr(0, equals);
        std::optional<std::string_view> value;
        if (equals != std::string_view::npos) value = setting.substr(equals + 1);
        if (auto why = apply(board, key, value)) return std::unexpected(bad(setting, *why));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    if (board.model == ModelChoice::Hardware && !board.kind) {
        return std::unexpected(bad("model=hardware", "needs kind="));
    }
    return board;
}

BoardOptions board_options(BoardKind kind, const FlashPartSettings& part) {
    BoardOptions options;
    if (board_info(kind).flash == FlashType::Spi) {
        SpiNorChip::Options& spi = options.spi;
        if (part.size) spi.size_bytes = *part.size;
        if (part.sector_size) spi.block_erase_bytes = *part.sector_size;
        spi.jedec_id = part.jedec_id;
        spi.four_byte_commands = !part.no_four_byte_commands;
        spi.sfdp = !part.no_sfdp;
        spi.sfdp_table = part.sfdp;
    } else {
        ParallelNorChip::Options& parallel = options.parallel;
        if (part.size) parallel.size_bytes = *part.size;
        if (part.sector_size) parallel.sector_bytes = *part.sector_size;
        if (part.buffer_size) parallel.buffer_bytes = *part.buffer_size;
        parallel.cfi_table = part.cfi;
    }
    return options;
}

std::optional<std::uint32_t> firmware_of(std::string_view version) {
    const std::size_t r = version.find('r');
    if (r == std::string_view::npos) return std::nullopt;
    std::string_view digits = version.substr(r + 1);
    digits = digits.substr(0, digits.find('r'));
    return parse_number<std::uint32_t>(digits);
}

std::string board_description_help() {
    // The kinds as the board table has them: what each model is and the PCI device IDs that
    // make a board one.
    std::array<std::vector<std::string>, kBoardKindCount> ids;
    for (unsigned id = 0; id <= 0xFFFF; ++id) {
        const BoardKind kind = board_kind_for_device_id(static_cast<std::uint16_t>(id));
        if (kind != BoardKind::Unsupported) {
            ids[static_cast<std::size_t>(kind)].push_back(fmt::format("0x{:x}", id));
        }
    }
    std::string kinds =
        "The kinds, as kind= takes them and tarnvel-fw shows them (\"kind\" in its JSON and\n"
        "metrics): the model the kind is, its flash, and the PCI device IDs of the kind\n"
        "  0   unsupported: any other device ID\n";
    for (std::size_t kind = 1; kind < kBoardKindCount; ++kind) {
        const BoardInfo& info = board_info(static_cast<BoardKind>(kind));
        kinds += fmt::format("  {:<3} {:<7} {:<14} {}\n", kind, info.model_name,
                             static_cast<BoardKind>(kind) == BoardKind::Qx1800 ? "none written"
                             : info.flash == FlashType::Spi                    ? "serial flash"
                                                                               : "parallel flash",
                             fmt::join(ids[kind], ", "));
    }
    return std::string(kHelp) + "\n" + kinds;
}

}  // namespace tarnvel::sim
