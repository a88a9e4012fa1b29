#pragma once
// What the tests of firmware archives share: a scratch directory and the error the archive
// reader gives for one of its own codes.

#include <stdlib.h>
#include <zip.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "base/error.hpp"

namespace tarnvel::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
struct TempDir {
    TempDir() : path((std::filesystem::temp_directory_path() / "tarnvel-test-XXXXXX").string()) {
        if (::mkdtemp(path.data()) == nullptr) path.clear();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

// The archive reader's error for `zip_code`, with libzip's own message.
inline Error reader_error(int zip_code) {
    zip_error_t error;
    zip_error_init_with_code(&error, zip_code);
    Error result = Error::archive({zip_code, 0, zip_error_strerror(&error)});
    zip_error_fini(&error);
    return result;
}

}  // namespace tarnvel::test
