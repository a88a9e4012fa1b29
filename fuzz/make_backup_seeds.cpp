// Writes the seed backup of the backup fuzz target into the directory given as the only
// argument, as the backup store keeps one: 64 KiB of one byte, a span backup_fuzz knows the
// digest of.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "scratch_directory.hpp"
#include "update/backup_store.hpp"

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_backup_seeds DIRECTORY\n");
        return 2;
    }
    const tarnvel::fuzz::ScratchDirectory scratch("backup-seeds");
    tarnvel::BackupStore store(scratch.path());
    auto kept = store.keep("0000:03:00.0", tarnvel::BoardKind::Qx630,
                           std::vector<std::uint8_t>(65536, 0x5A));
    std::error_code ec;
    if (kept) fs::copy_file(store.directory() / kept->file, fs::path(argv[1]) / "span.zst", ec);
    if (!kept || ec) {
        std::fprintf(stderr, "make_backup_seeds: %s\n",
                     kept ? ec.message().c_str() : tarnvel::error_text(kept.error()).c_str());
        return 1;
    }
    return 0;
}
