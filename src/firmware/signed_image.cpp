#include "firmware/signed_image.hpp"

#include <sys/stat.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>

namespace tarnvel {

std::string signature_path(std::string_view signed_path) {
    return fmt::format("{}.minisig", signed_path);
}

bool has_signature(std::string_view signed_path) {
    struct stat info {};
    return ::lstat(signature_path(signed_path).c_str(), &info) == 0 || errno != ENOENT;
}

SignatureCheck check_signature(const std::string& signed_path, std::span<const std::uint8_t> bytes,
                               std::span<const MinisignKey> trusted) {
    const std::string path = signature_path(signed_path);
    SignatureCheck check;
    check.path = path;
    const auto bad = [&](std::string problem) {
        check.state = SignatureState::Bad;
        check.problem = fmt::format("{}: {}", path, problem);
        return check;
    };
    auto text = read_signature_file(path);
    if (!text) {
        const std::int32_t* code = text.error().os_code();
        if (code != nullptr && *code == ENOENT) return check;
        return bad(error_text(text.error()));
    }
    auto signature = parse_minisign_signature(*text);
    if (!signature) return bad(error_text(signature.error()));
    check.key_id = key_id_text(signature->key_id);
    const auto key = std::ranges::find_if(
        trusted, [&](const MinisignKey& k) { return k.id == signature->key_id; });
    if (key == trusted.end()) {
        check.state = SignatureState::UntrustedKey;
        check.problem =
            fmt::format("{}: signed by key {}, which is not trusted", path, *check.key_id);
        return check;
    }
    if (auto verified = verify_minisign(*signature, *key, bytes); !verified) {
        return bad(error_text(verified.error()));
    }
    check.state = SignatureState::Verified;
    check.trusted_comment = std::move(signature->trusted_comment);
    return check;
}

}  // namespace tarnvel
