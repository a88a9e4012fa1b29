#pragma once
// Keys and signatures made by Debian's minisign (scripts/install-deps installs it), as a vendor
// or a fleet's release process would make them: the tests never sign with code of their own.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tarnvel::testing {

inline std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline std::string file_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A key pair in `dir`: NAME.pub and NAME.key, the secret key without a password.
class MinisignKeyPair {
  public:
    MinisignKeyPair(const std::filesystem::path& dir, const std::string& name)
        : pub_(dir / (name + ".pub")), secret_(dir / (name + ".key")) {
        run("minisign -G -f -W -p " + shell_quoted(pub_.string()) + " -s " +
            shell_quoted(secret_.string()));
    }

    const std::filesystem::path& pub_file() const { return pub_; }
    // The key as a configuration names it: the second line of the .pub file.
    std::string key_line() const {
        const std::string text = file_text(pub_);
        const std::size_t start = text.find('\n') + 1;
        return text.substr(start, text.find('\n', start) - start);
    }
    // The key id as minisign shows it, from the .pub file's untrusted comment.
    std::string key_id() const {
        const std::string text = file_text(pub_);
        const std::size_t start = text.find("public key ") + 11;
        return text.substr(start, text.find('\n') - start);
    }

    // Signs `file` into FILE.minisig (or `signature`), in the default (prehashed) form or the
    // legacy one.
    void sign(const std::filesystem::path& file, const std::string& trusted_comment,
              bool legacy = false, const std::filesystem::path& signature = {}) const {
        run(std::string("minisign -S -q") + (legacy ? " -l" : "") + " -s " +
            shell_quoted(secret_.string()) + " -m " + shell_quoted(file.string()) + " -t " +
            shell_quoted(trusted_comment) +
            (signature.empty() ? "" : " -x " + shell_quoted(signature.string())));
    }

  private:
    static void run(const std::string& command) {
        ASSERT_EQ(std::system((command + " >/dev/null 2>&1 </dev/null").c_str()), 0) << command;
    }

    std::filesystem::path pub_;
    std::filesystem::path secret_;
};

}  // namespace tarnvel::testing
