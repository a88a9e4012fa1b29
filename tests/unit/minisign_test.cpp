// Minisign signatures as Debian's minisign makes them, in both forms, checked over the bytes
// read; and each field of a signature file damaged in turn, which must never pass.

#include "firmware/minisign.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "firmware/signed_image.hpp"
#include "sim/support/temp_dir.hpp"
#include "support/minisign_tool.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;
using testing::file_text;
using testing::MinisignKeyPair;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// A base64 line with its decoded bytes changed by `change`.
std::string rewritten(const std::string& line, const std::function<void(std::string&)>& change) {
    std::string bytes(line.size(), '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                       reinterpret_cast<const unsigned char*>(line.data()),
                                       static_cast<int>(line.size()));
    bytes.resize(static_cast<std::size_t>(length) - (line.ends_with("==")  ? 2
                                                     : line.ends_with('=') ? 1
                                                                           : 0));
    change(bytes);
    std::string encoded(bytes.size() * 2 + 4, '\0');
    encoded.resize(static_cast<std::size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(encoded.data()),
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()))));
    return encoded;
}

class MinisignTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new sim::TempDir("tarnvel-minisign.");
        trusted_ = new MinisignKeyPair(dir_->path(), "trusted");
        other_ = new MinisignKeyPair(dir_->path(), "other");
    }
    static void TearDownTestSuite() {
        delete other_;
        delete trusted_;
        delete dir_;
    }

    void SetUp() override {
        file_ = dir_->path() / "archive.zip";
        std::ofstream(file_, std::ios::binary) << std::string(100000, 'x') << "firmware";
        fs::remove(signature_path(file_.string()));
        auto key = parse_minisign_key(file_text(trusted_->pub_file()));
        ASSERT_TRUE(key.has_value());
        keys_ = {*key};
    }

    std::vector<std::uint8_t> bytes() const {
        const std::string text = file_text(file_);
        return {text.begin(), text.end()};
    }
    SignatureCheck check() const { return check_signature(file_.string(), bytes(), keys_); }
    void write_signature(const std::string& text) const {
        std::ofstream(signature_path(file_.string()), std::ios::binary | std::ios::trunc) << text;
    }

    static inline sim::TempDir* dir_ = nullptr;
    static inline MinisignKeyPair* trusted_ = nullptr;
    static inline MinisignKeyPair* other_ = nullptr;
    fs::path file_;
    std::vector<MinisignKey> keys_;
};

TEST_F(MinisignTest, BothFormsVerifyWithTheirTrustedComment) {
    EXPECT_EQ(check().state, SignatureState::Unsigned);
    for (const bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy" : "prehashed");
        trusted_->sign(file_, "release 7 for the lab", legacy);
        const SignatureCheck checked = check();
        EXPECT_EQ(checked.state, SignatureState::Verified) << checked.problem.value_or("");
        EXPECT_EQ(checked.key_id, trusted_->key_id());
        EXPECT_EQ(checked.trusted_comment, "release 7 for the lab");
    }
    // By a key not trusted: named, and its comment is not taken as a trusted one.
    other_->sign(file_, "release 8");
    const SignatureCheck untrusted = check();
    EXPECT_EQ(untrusted.state, SignatureState::UntrustedKey);
    EXPECT_EQ(untrusted.key_id, other_->key_id());
    EXPECT_EQ(untrusted.trusted_comment, std::nullopt);
}

TEST_F(MinisignTest, ADamagedSignatureNeverPasses) {
    trusted_->sign(file_, "release 7");
    const std::vector<std::string> good = lines_of(file_text(signature_path(file_.string())));
    ASSERT_EQ(good.size(), 4u);
    struct Case {
        const char* what;
        std::function<void(std::vector<std::string>&)> damage;
        SignatureState state = SignatureState::Bad;
        const char* problem = "";
    };
    const auto in_signature = [](std::size_t at) {
        return [at](std::vector<std::string>& lines) {
            lines[1] = rewritten(lines[1], [at](std::string& b) { b[at] ^= 0x01; });
        };
    };
    const Case cases[] = {
        {"untrusted comment line", [](auto& l) { l[0] = "untrusted: " + l[0]; }},
        {"trusted comment line", [](auto& l) { l[2] = "trusted-comment: " + l[2].substr(17); }},
        {"unknown algorithm", in_signature(0), SignatureState::Bad, "algorithm"},
        {"the other form",
         [](auto& l) { l[1] = rewritten(l[1], [](std::string& b) { b[1] = 'd'; }); },
         SignatureState::Bad, "changed after it was signed"},
        {"key id", in_signature(2), SignatureState::UntrustedKey, "not trusted"},
        {"signature bytes", in_signature(40), SignatureState::Bad, "changed after it was signed"},
        {"trusted comment", [](auto& l) { l[2] += " and 8"; }, SignatureState::Bad,
         "trusted comment"},
        {"global signature",
         [](auto& l) { l[3] = rewritten(l[3], [](std::string& b) { b[5] ^= 0x40; }); },
         SignatureState::Bad, "trusted comment"},
        {"a missing line", [](auto& l) { l.erase(l.begin() + 2); }, SignatureState::Bad, "3 lines"},
        {"a line too many", [](auto& l) { l.push_back(""); }},
        {"base64 out of the alphabet", [](auto& l) { l[1][10] = '*'; }},
        {"base64 without its padding", [](auto& l) { l[3].pop_back(); }},
        {"base64 with stray bits", [](auto& l) { l[3][85] = 'B'; }},
        {"a carriage return", [](auto& l) { l[1] += "\r"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> lines = good;
        c.damage(lines);
        write_signature(joined(lines));
        const SignatureCheck checked = check();
        EXPECT_EQ(checked.state, c.state);
        EXPECT_NE(checked.problem.value_or("").find(c.problem), std::string::npos)
            << checked.problem.value_or("");
    }
    // The bytes changed after signing, with the signature whole.
    write_signature(joined(good));
    std::vector<std::uint8_t> changed = bytes();
    changed[50000] ^= 0x20;
    const SignatureCheck checked = check_signature(file_.string(), changed, keys_);
    EXPECT_EQ(checked.state, SignatureState::Bad);
    EXPECT_NE(checked.problem->find(trusted_->key_id()), std::string::npos) << *checked.problem;
}

TEST_F(MinisignTest, ASignatureFileMustBeASmallRegularFile) {
    const std::string path = signature_path(file_.string());
    std::ofstream(path).close();
    fs::resize_file(path, 100'000'000);  // sparse: nothing is written
    EXPECT_EQ(check().state, SignatureState::Bad);
    EXPECT_NE(check().problem->find("larger than"), std::string::npos) << *check().problem;
    fs::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);  // nobody writes it: a read would block
    EXPECT_EQ(check().state, SignatureState::Bad);
    EXPECT_NE(check().problem->find("not a regular file"), std::string::npos);
    fs::remove(path);
}

TEST_F(MinisignTest, KeysAreReadStrictlyAndFromTheirDirectory) {
    const std::string line = trusted_->key_line();
    EXPECT_TRUE(parse_minisign_key(line).has_value());
    EXPECT_EQ(parse_minisign_key(line), parse_minisign_key(file_text(trusted_->pub_file())));
    for (const std::string& bad :
         {line.substr(1), line + "A", "S" + line.substr(1), "x\n" + line, line + "\n" + line,
          std::string("untrusted comment: k\n") + line + "\n\n"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_minisign_key(bad).has_value());
    }

    const fs::path keys = dir_->path() / "keys.d";
    EXPECT_EQ(load_trusted_key_dir(keys.string())->size(), 0u);  // none there
    fs::create_directory(keys);
    fs::copy_file(trusted_->pub_file(), keys / "a.pub");
    fs::copy_file(other_->pub_file(), keys / "b.pub");
    std::ofstream(keys / "README") << "not a key\n";
    auto loaded = load_trusted_key_dir(keys.string());
    ASSERT_TRUE(loaded.has_value()) << error_text(loaded.error());
    ASSERT_EQ(loaded->size(), 2u);
    EXPECT_EQ(key_id_text((*loaded)[1].id), other_->key_id());
    std::ofstream(keys / "c.pub") << "untrusted comment: broken\nRWQ\n";
    loaded = load_trusted_key_dir(keys.string());
    ASSERT_FALSE(loaded.has_value());
    EXPECT_NE(error_text(loaded.error()).find("c.pub"), std::string::npos);
    fs::remove(keys / "c.pub");
    fs::create_directory(keys / "d.pub");
    EXPECT_FALSE(load_trusted_key_dir(keys.string()).has_value());
    EXPECT_FALSE(load_trusted_key_dir((keys / "a.pub").string()).has_value());
}

}  // namespace
}  // namespace tarnvel
