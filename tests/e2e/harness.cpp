#include "harness.hpp"

#include <cstring>

namespace tarnvel::e2e {

sim::BoardConfig pci_board(std::optional<std::string> device, std::optional<std::string> version,
                           std::optional<std::string> software_id) {
    sim::BoardConfig config;
    config.parent = sim::PciParent{std::move(device)};
    config.version = std::move(version);
    config.software_id = std::move(software_id);
    return config;
}

std::string_view model_name(unsigned kind) {
    static constexpr std::string_view kNames[] = {
        "Unsupported", "QX410", "QX410M2", "QX410BP", "QX480",  "QX480",
        "QX400",       "QX610", "QX630",   "QX610",   "QX1800",
    };
    return kind < std::size(kNames) ? kNames[kind] : "?";
}

std::string device_line(std::string_view node, unsigned kind, unsigned hw_major,
                        unsigned hw_minor) {
    if (kind == 0) return unsupported_line(node);
    return "Device " + std::string(node) + ": " + std::string(model_name(kind)) + "v" +
           std::to_string(hw_major) + "." + std::to_string(hw_minor) + "\n";
}

std::string unsupported_line(std::string_view node) {
    return "Device " + std::string(node) + ": Unsupported\n";
}

std::string current_firmware_line(unsigned fw) {
    return "\tCurrent firmware: " + std::to_string(fw) + ", \n";
}

std::string missing_archive_line() {
    return "\tCannot find firmware archive: " + std::string(std::strerror(2)) + " (os error 2), \n";
}

std::string cannot_open_line(std::string_view kind_text) {
    return "\tCannot open device - " + std::string(kind_text) + "\n";
}

std::string dynamic_loading_line() {
    return "\tQX1800 uses dynamic firmware loading - no flash update required!\n";
}

std::string board_without_archive(std::string_view node, unsigned kind, unsigned hw_major,
                                  unsigned hw_minor, unsigned fw) {
    std::string text = device_line(node, kind, hw_major, hw_minor);
    if (kind == 0) return text;
    text += current_firmware_line(fw);
    text += kind == 10 ? dynamic_loading_line() : missing_archive_line();
    return text;
}

}  // namespace tarnvel::e2e
