#include "simulated_update.hpp"

#include <cstdio>
#include <cstdlib>

#include "programming/board_flash.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"

namespace tarnvel::bench {

SimulatedBoard::SimulatedBoard(BoardKind kind, const sim::BoardOptions& options)
    : model_(sim::make_board_model(kind, options)), node_(*model_) {
    device_.kind = kind;
    device_.fd = node_.release();
    if (auto attached = attach_flash(device_); !attached) {
        std::fprintf(stderr, "simulated board of kind %d: %s\n", static_cast<int>(kind),
                     error_text(attached.error()).c_str());
        std::exit(1);
    }
}

SimulatedBoard::~SimulatedBoard() {
    // The record closes the descriptor; the model stays routed until the node goes.
    device_.close();
}

std::uint64_t SimulatedBoard::chip_bytes() const {
    std::uint64_t pages = 0;
    if (auto* chip = model_->spi_chip()) pages += chip->storage().pages_in_use();
    if (auto* chip = model_->parallel_chip()) pages += chip->storage().pages_in_use();
    return pages * sim::FlashStorage::kPageBytes;
}

std::string program_quietly(BoardDevice& board, const FirmwareImage& image, ProgrammingMode mode,
                            ProgrammingReport* report) {
    SilentProgress silent;
    auto programmed = program_firmware(board, image, silent, report, mode);
    return programmed ? std::string() : error_text(programmed.error());
}

FirmwareImage noise_image(std::size_t bytes, std::uint32_t seed) {
    return FirmwareImage{.version = 1, .data = sim::firmware_bytes(bytes, seed)};
}

}  // namespace tarnvel::bench
