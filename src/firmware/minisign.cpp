#include "firmware/minisign.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "base/internal_fault.hpp"
#include "base/trusted_file.hpp"

namespace tarnvel {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
// The largest key file a key directory may hold: a key is two short lines.
constexpr off_t kLargestKeyFile = 1 << 20;

Error malformed(std::string_view what) {
    return Error::message(ErrorKind::InvalidData, fmt::format("not a minisign {}", what));
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard base64 with its padding, decoding to exactly `N` bytes: nothing but the alphabet, the
// padding only where the length needs it, and the bits the padding leaves over zero, so that
// one value has one text.
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> decode_base64(std::string_view text) {
    constexpr std::size_t kChars = (N + 2) / 3 * 4;
    constexpr std::size_t kPadding = (3 - N % 3) % 3;
    if (text.size() != kChars) return std::nullopt;
    for (std::size_t i = kChars - kPadding; i < kChars; ++i) {
        if (text[i] != '=') return std::nullopt;
    }
    std::array<std::uint8_t, N> out{};
    std::size_t written = 0;
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < kChars - kPadding; ++i) {
        const int value = base64_value(text[i]);
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out[written++] = static_cast<std::uint8_t>(bits >> held);
            bits &= (1U << held) - 1;
        }
    }
    if (written != N || bits != 0) return std::nullopt;
    return out;
}

// The text's lines, each ended by "\n" but the last, which may lack it. None for a text with a
// carriage return or a NUL byte: no file minisign writes holds either.
std::optional<std::vector<std::string_view>> lines_of(std::string_view text) {
    if (text.find('\r') != std::string_view::npos || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    if (text.ends_with('\n')) text.remove_suffix(1);
    std::vector<std::string_view> lines;
    for (;;) {
        const std::size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

bool ed25519_verify(const MinisignKey& key, std::span<const std::uint8_t> signature,
                    std::span<const std::uint8_t> message) {
    const std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.key.data(), key.key.size()));
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    // Only an allocation failure inside libcrypto makes these fail: any 32 bytes are a key.
    if (!pkey || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
        internal_fault("can't set up an Ed25519 verification");
    }
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                            message.size()) == 1;
}

std::array<std::uint8_t, 64> blake2b512(std::span<const std::uint8_t> data) {
    std::array<std::uint8_t, 64> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_blake2b512(), nullptr) !=
            1 ||
        length != digest.size()) {
        internal_fault("can't compute a BLAKE2b-512 digest");
    }
    return digest;
}

Error place_error(const std::string& path, std::string_view problem) {
    return Error::message(ErrorKind::InvalidInput, fmt::format("{}: {}", path, problem));
}

Error os_error_at(const std::string& path, int errnum) {
    return Error::message(error_kind_for_errno(errnum),
                          fmt::format("{}: {}", path, error_text(Error::os(errnum))));
}

}  // namespace

Result<MinisignKey> parse_minisign_key(std::string_view text) {
    auto lines = lines_of(text);
    if (!lines || lines->size() > 2 ||
        (lines->size() == 2 && !lines->front().starts_with(kUntrustedPrefix))) {
        return std::unexpected(malformed("public key"));
    }
    const auto bytes = decode_base64<42>(lines->back());
    if (!bytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd') {
        return std::unexpected(malformed("public key (the base64 of \"Ed\", a key id and a key)"));
    }
    MinisignKey key;
    std::copy_n(bytes->begin() + 2, key.id.size(), key.id.begin());
    std::copy_n(bytes->begin() + 10, key.key.size(), key.key.begin());
    return key;
}

Result<MinisignSignature> parse_minisign_signature(std::string_view text) {
    auto lines = lines_of(text);
    if (!lines) return std::unexpected(malformed("signature: a carriage return or a NUL byte"));
    if (lines->size() != 4) {
        return std::unexpected(malformed(fmt::format("signature: {} lines, not 4", lines->size())));
    }
    const std::string_view untrusted = (*lines)[0];
    const std::string_view signature_line = (*lines)[1];
    const std::string_view trusted = (*lines)[2];
    const std::string_view global_line = (*lines)[3];
    if (!untrusted.starts_with(kUntrustedPrefix)) {
        return std::unexpected(malformed("signature: its first line is no untrusted comment"));
    }
    const auto signature_bytes = decode_base64<74>(signature_line);
    if (!signature_bytes) {
        return std::unexpected(malformed("signature: its second line is no signature in base64"));
    }
    MinisignSignature signature;
    const std::string_view algorithm(reinterpret_cast<const char*>(signature_bytes->data()), 2);
    if (algorithm == "ED") {
        signature.prehashed = true;
    } else if (algorithm == "Ed") {
        signature.prehashed = false;
    } else {
        return std::unexpected(malformed("signature: an algorithm other than Ed25519"));
    }
    std::copy_n(signature_bytes->begin() + 2, signature.key_id.size(), signature.key_id.begin());
    std::copy_n(signature_bytes->begin() + 10, signature.signature.size(),
                signature.signature.begin());
    if (!trusted.starts_with(kTrustedPrefix)) {
        return std::unexpected(malformed("signature: its third line is no trusted comment"));
    }
    signature.trusted_comment = std::string(trusted.substr(kTrustedPrefix.size()));
    const auto global = decode_base64<64>(global_line);
    if (!global) {
        return std::unexpected(
            malformed("signature: its fourth line is no global signature in base64"));
    }
    signature.global_signature = *global;
    return signature;
}

std::string key_id_text(const MinisignKeyId& id) {
    std::uint64_t number = 0;
    for (auto byte = id.rbegin(); byte != id.rend(); ++byte) number = (number << 8) | *byte;
    return fmt::format("{:X}", number);
}

Status verify_minisign(const MinisignSignature& signature, const MinisignKey& key,
                       std::span<const std::uint8_t> data) {
    if (signature.key_id != key.id) {
        return std::unexpected(
            Error::message(ErrorKind::InvalidData,
                           fmt::format("signed by key {}, not by key {}",
                                       key_id_text(signature.key_id), key_id_text(key.id))));
    }
    const bool signed_data = signature.prehashed
                                 ? ed25519_verify(key, signature.signature, blake2b512(data))
                                 : ed25519_verify(key, signature.signature, data);
    if (!signed_data) {
        return std::unexpected(Error::message(
            ErrorKind::InvalidData,
            fmt::format("its signature by key {} does not match it: changed after it was signed",
                        key_id_text(key.id))));
    }
    std::vector<std::uint8_t> global(signature.signature.begin(), signature.signature.end());
    global.insert(global.end(), signature.trusted_comment.begin(), signature.trusted_comment.end());
    if (!ed25519_verify(key, signature.global_signature, global)) {
        return std::unexpected(Error::message(
            ErrorKind::InvalidData,
            fmt::format("the trusted comment of its signature by key {} was changed after it was "
                        "signed",
                        key_id_text(key.id))));
    }
    return {};
}

Result<std::string> read_signature_file(const std::string& path) {
    // A FIFO or a device is refused before it is opened at all.
    auto bytes = read_whole_file(path, kLargestSignatureFile);
    if (!bytes) {
        if (bytes.error().kind() == ErrorKind::FileTooLarge) {
            return std::unexpected(Error::message(
                ErrorKind::FileTooLarge,
                fmt::format("larger than a signature file ({} bytes)", kLargestSignatureFile)));
        }
        return std::unexpected(std::move(bytes.error()));
    }
    return std::string(bytes->begin(), bytes->end());
}

Result<std::vector<MinisignKey>> load_trusted_key_dir(const std::string& directory) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 && errno == ENOENT) {
        return std::vector<MinisignKey>{};
    }
    // Keys lend trust as the configuration file does: read only where no one but root and the
    // caller can have put them.
    if (auto place = check_trusted_directory(directory); !place) {
        return std::unexpected(std::move(place.error()));
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), &::closedir);
    if (!dir) return std::unexpected(os_error_at(directory, errno));
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name.size() > 4 && name.ends_with(".pub") && !name.starts_with('.')) {
            names.emplace_back(name);
        }
    }
    if (errno != 0) return std::unexpected(os_error_at(directory, errno));
    std::ranges::sort(names);
    std::vector<MinisignKey> keys;
    for (const std::string& name : names) {
        const std::string path = fmt::format("{}/{}", directory, name);
        auto text = read_trusted_file(path, static_cast<std::size_t>(kLargestKeyFile));
        if (!text) return std::unexpected(std::move(text.error()));
        if (!*text) return std::unexpected(place_error(path, "it is gone"));
        auto key = parse_minisign_key(**text);
        if (!key) return std::unexpected(place_error(path, error_text(key.error())));
        keys.push_back(*key);
    }
    return keys;
}

}  // namespace tarnvel
