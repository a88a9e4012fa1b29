#pragma once
// What the tests of firmware archives share: the error the archive reader gives for one of its
// own codes.

#include <zip.h>


#include "base/error.hpp"

namespace tarnvel::testing {

// The archive reader's error for `zip_code`, with libzip's own message.
inline Error reader_error(int zip_code) {
    zip_error_t error;
    zip_error_init_with_code(&error, zip_code);
    Error result = Error::archive({zip_code, 0, zip_error_strerror(&error)});
    zip_error_fini(&error);
    return result;
}

}  // namespace tarnvel::testing
