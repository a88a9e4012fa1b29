#include "fw_harness.hpp"

namespace tarnvel::testing {

Json parse_json(const sim::RunResult& result) {
    Json document = Json::parse(result.out, nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded()) {
        ADD_FAILURE() << "standard output is not one JSON document:\n"
                      << result.out << "\nstandard error:\n"
                      << result.err;
        return nullptr;
    }
    return document;
}

Json board_entry(const Json& document, std::string_view node) {
    const Json& boards = document.is_array() ? document : document.value("boards", Json::array());
    for (const Json& board : boards) {
        if (board.value("node", "") == node) return board;
    }
    ADD_FAILURE() << "no board " << node << " in\n" << document.dump(2);
    return Json::object();
}

std::vector<std::uint8_t> image_region(sim::SimBoard& board, std::size_t length) {
    const BoardKind kind = board.kind();
    // The parallel flash holds every word mirrored; mirroring is its own inverse.
    const std::size_t stored_length = parallel_flash(kind) ? length + length % 2 : length;
    std::vector<std::uint8_t> stored = firmware_storage(board).dump(
        firmware_base_address(kind), static_cast<std::uint32_t>(stored_length));
    std::vector<std::uint8_t> image = flash_form(kind, stored);
    image.resize(length);
    return image;
}

}  // namespace tarnvel::testing
