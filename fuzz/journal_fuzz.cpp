// A journal file of any bytes, read as list, history and metrics read it: opened for reading,
// every record, the newest of each board with and without the writes that never reached the
// flash, and each record weighed by the decision and the missing-board check. None of it may
// crash or hang (every statement has SQLite's time limit; libFuzzer's -timeout is above it),
// and none of it may write: a reader leaves the file as it was, byte for byte, and makes no
// file beside it, except that a file whose header asks for a write-ahead log is set back to
// the rollback journal.

#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/utf8.hpp"
#include "fuzz_check.hpp"
#include "scratch_directory.hpp"
#include "update/decision.hpp"
#include "journal/journal.hpp"

namespace {

namespace fs = std::filesystem;
using tarnvel::fuzz::check;

// Records weighed one by one: enough for every path, few enough to stay fast.
constexpr std::size_t kWeighed = 16;
constexpr const char* kBeside[] = {"-journal", "-wal", "-shm"};

const fs::path& directory() {
    static const tarnvel::fuzz::ScratchDirectory made("journal-fuzz");
    return made.path();
}

std::string bytes_of(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void weigh(const tarnvel::Journal& journal, const tarnvel::WriteRecord& record) {
    using namespace tarnvel;
    (void)printable(record.start.devnode);
    (void)printable(record.end ? record.end->error.value_or("") : "");
    (void)unix_seconds_of(record.started);
    const BoardKind kind = record.start.board_kind().value_or(BoardKind::Unsupported);
    auto last = journal.last_write(record.start.pci_address, kind, true);
    const BoardIdentity board{.devnode = record.start.devnode,
                              .pci_address = record.start.pci_address,
                              .kind = kind,
                              .hw_major = 1,
                              .hw_minor = 0,
                              .fw_version = 40};
    const WriteRecord* weighed = last && *last ? &**last : &record;
    // A machine of the seeds' boot on which the writers of odd process ids still run: a record
    // that never ended is weighed both as a write going on and as one cut short.
    const HostNow host{.boot_id = "b0",
                       .running = [](const ProcessStamp& writer) { return writer.pid % 2 != 0; }};
    (void)decide(board, ImageOffer(std::optional<std::int32_t>(41)), weighed, host);
    (void)decide(board, ImageOffer(std::optional<std::int32_t>()), weighed, host);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnvel;
    const fs::path file = directory() / kJournalFileName;
    for (const char* suffix : kBeside) fs::remove(file.string() + suffix);
    const std::string input(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << input;
    }
    ::chmod(file.c_str(), 0644);

    if (auto journal = Journal::open_for_reading(file)) {
        if (auto records = journal->records()) {
            for (std::size_t i = 0; i < records->size() && i < kWeighed; ++i) {
                weigh(*journal, (*records)[i]);
            }
        }
        if (auto last = journal->last_writes(true)) (void)missing_boards(*last, {});
        (void)journal->last_writes(false);
    }

    // The header's write and read versions (bytes 18 and 19): 2 asks for a write-ahead log.
    const bool asks_for_log = size > 19 && (data[18] == 2 || data[19] == 2);
    if (!asks_for_log) {
        check(bytes_of(file) == input, "reading leaves the journal as it was");
        for (const char* suffix : kBeside) {
            check(!fs::exists(file.string() + suffix), "reading makes no file beside it");
        }
    }
    return 0;
}
