#include "update/sha256.hpp"

#include <openssl/evp.h>

#include <fmt/format.h>

#include <array>
#include <memory>

#include "base/internal_fault.hpp"

namespace tarnvel {

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    // Only an allocation failure inside libcrypto makes these fail.
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
        internal_fault("can't compute a SHA-256 digest");
    }
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) hex += fmt::format("{:02x}", digest[i]);
    return hex;
}

}  // namespace tarnvel
