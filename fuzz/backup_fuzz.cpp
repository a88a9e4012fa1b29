// A backup file of any bytes, read as rollback reads it for a record that names it: with the
// record's length and digest of a span that the seeds hold, and with lengths the file does not
// declare. Nothing larger than the record's length is allocated (-malloc_limit_mb), nothing
// crashes, and a span is only ever answered whole and with the record's digest.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "scratch_directory.hpp"
#include "update/backup_store.hpp"
#include "update/sha256.hpp"

namespace {

namespace fs = std::filesystem;
using tarnvel::fuzz::check;

// A state directory of this process's own, with its backups directory made as the store's
// must be. It goes when the process ends.
const fs::path& directory() {
    static const tarnvel::fuzz::ScratchDirectory made("backup-fuzz");
    static const bool backups = [] {
        fs::create_directory(made.path() / tarnvel::kBackupDirName);
        return ::chmod((made.path() / tarnvel::kBackupDirName).c_str(), 0700) == 0;
    }();
    check(backups, "the backups directory is made");
    return made.path();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnvel;
    const BackupStore store(directory());
    const std::string name = "20261208T000000.000000000Z_0000:03:00.0_k3.zst";
    {
        std::ofstream out(store.directory() / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // The seeds' span: 64 KiB of one byte, as the seed writer keeps it.
    const std::vector<std::uint8_t> seed_span(65536, 0x5A);
    const std::string seed_digest = sha256_hex(seed_span);
    for (const std::uint64_t length :
         {std::uint64_t{65536}, std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 20}) {
        auto span = store.read({name, seed_digest}, length);
        if (!span) continue;
        check(span->size() == length, "a span read is the record's length");
        check(sha256_hex(*span) == seed_digest, "a span read has the record's digest");
    }
    return 0;
}
