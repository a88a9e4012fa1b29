// A configuration file of any bytes, as the programs parse it before they look at a key: every
// text is taken or refused with its place, whatever its size or nesting (the TOML parser
// recurses once per level, and must never see a text deep enough to run out of stack), and a
// refusal's text is one printable line.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/utf8.hpp"
#include "fuzz_check.hpp"
#include "update/configuration_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnvel;
    using tarnvel::fuzz::check;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto table = parse_configuration(text, "/etc/tarnvel/tarnvel-fw.toml");
    if (!table) {
        const std::string why = error_text(table.error());
        check(why.starts_with("/etc/tarnvel/tarnvel-fw.toml: line "), "a refusal names its place");
        check(printable(why) == why, "a refusal's text drives no terminal");
        return 0;
    }
    // Walk what was taken, as the programs do when they look at each key and value.
    std::size_t seen = 0;
    table->for_each([&seen](const toml::key& key, const toml::node& node) {
        seen += key.str().size();
        if (const toml::array* list = node.as_array()) seen += list->size();
        (void)node.value<std::int64_t>();
        (void)node.value<std::string>();
    });
    (void)seen;
    return 0;
}
