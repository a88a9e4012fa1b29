// Minisign public keys and signature files, as a key directory, a configuration and the
// signature beside an archive hold them: parsed strictly, so that a value has one text. Whatever
// is accepted is written again from its fields, and must give back the very text it came from
// (its last line break aside); a signature accepted is then checked over the input, which must
// end in a refusal, never a crash.
//
// Input layout: byte 0 picks what the rest is: a signature file (even) or a key (odd).

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "firmware/minisign.hpp"
#include "fuzz_check.hpp"

namespace {

using tarnvel::fuzz::check;

template <std::size_t N>
std::string base64(std::string_view prefix, const std::array<std::uint8_t, N>& a,
                   std::span<const std::uint8_t> b = {}) {
    std::string bytes(prefix);
    bytes.append(a.begin(), a.end());
    bytes.append(b.begin(), b.end());
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string_view without_last_break(std::string_view text) {
    if (text.ends_with('\n')) text.remove_suffix(1);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 1) {
        auto key = tarnvel::parse_minisign_key(text);
        if (!key) return 0;
        const std::string line = base64("Ed", key->id, key->key);
        const std::string_view input = without_last_break(text);
        check(input == line ||
                  (input.ends_with("\n" + line) && input.starts_with("untrusted comment: ")),
              "an accepted key is its one text");
        check(tarnvel::key_id_text(key->id).size() <= 16, "a key id is at most 16 digits");
        return 0;
    }
    auto signature = tarnvel::parse_minisign_signature(text);
    if (!signature) return 0;
    const std::string_view input = without_last_break(text);
    const std::size_t first_break = input.find('\n');
    const std::string rest =
        base64(signature->prehashed ? "ED" : "Ed", signature->key_id, signature->signature) +
        "\ntrusted comment: " + signature->trusted_comment + "\n" +
        base64("", signature->global_signature);
    check(first_break != std::string_view::npos && input.substr(first_break + 1) == rest,
          "an accepted signature is its one text");
    // The seeds' key (made by minisign, its secret key thrown away) signed none of the inputs.
    static const tarnvel::MinisignKey kSeedKey =
        *tarnvel::parse_minisign_key("RWQRG8i1HiTFVQqOwhhwdsU+TBUdonFoX0g1gJLqY61/FePrbtECkE7A");
    tarnvel::MinisignKey key = kSeedKey;
    key.id = signature->key_id;
    check(!tarnvel::verify_minisign(*signature, key, std::span(data, size)).has_value(),
          "no input is signed by the seeds' key");
    return 0;
}
