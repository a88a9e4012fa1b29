#pragma once
// Minisign public keys and signatures: their small text formats read strictly, and an Ed25519
// signature checked over the bytes a board would get, with its trusted comment.
//
// A public key is the base64 of "Ed", an 8-byte key id and the 32-byte Ed25519 key (the second
// line of a .pub file). A signature file has four lines: "untrusted comment: …", the base64 of
// the algorithm ("ED": Ed25519 over the BLAKE2b-512 of the file; "Ed": over the file itself),
// the key id and the 64-byte signature, "trusted comment: …", and the base64 of the 64-byte
// signature of the signature followed by the trusted comment's text.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace tarnvel {

using MinisignKeyId = std::array<std::uint8_t, 8>;

struct MinisignKey {
    MinisignKeyId id{};
    std::array<std::uint8_t, 32> key{};
    friend bool operator==(const MinisignKey&, const MinisignKey&) = default;
};

struct MinisignSignature {
    bool prehashed = true;  // "ED": the signature is over the BLAKE2b-512 of the file
    MinisignKeyId key_id{};
    std::array<std::uint8_t, 64> signature{};
    std::string trusted_comment;  // the text after "trusted comment: "
    std::array<std::uint8_t, 64> global_signature{};
};

// A key as minisign prints it ("RWQ…", 56 characters), or the text of a .pub file: an
// "untrusted comment:" line and that key line.
Result<MinisignKey> parse_minisign_key(std::string_view text);
Result<MinisignSignature> parse_minisign_signature(std::string_view text);

// The key id as minisign shows it: the id's 64-bit number (stored little-endian) in upper-case
// hexadecimal, without leading zeros.
std::string key_id_text(const MinisignKeyId& id);

// Whether `signature` by `key` (whose id it names) is over `data`, and its global signature over
// the trusted comment: an error saying which of the two does not hold.
Status verify_minisign(const MinisignSignature& signature, const MinisignKey& key,
                       std::span<const std::uint8_t> data);

// A signature file is a few hundred bytes; minisign's own comments stay under 1 KiB each.
inline constexpr std::size_t kLargestSignatureFile = 8192;

// The text of the signature file at `path`: a regular file of at most kLargestSignatureFile
// bytes, opened without blocking so that a FIFO put there can't stall the run. A missing file is
// the system's ENOENT.
Result<std::string> read_signature_file(const std::string& path);

// The keys of every "*.pub" file in `directory`, in name order. A missing directory holds
// none. The directory and each file are checked as the configuration file is (only root and
// the caller can have written them); a file that is no key refuses the whole directory, naming
// it.
Result<std::vector<MinisignKey>> load_trusted_key_dir(const std::string& directory);

}  // namespace tarnvel
