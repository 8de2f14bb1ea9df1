// Crash consistency and damaged files: writes cut short, torn header slots, truncated files and
// forged index entries and blobs. Every reopen must see the last commit or fail cleanly.
#include "engine/storage/database.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/compression.hpp"
#include "engine/storage/index.hpp"
#include "tests/engine/database_test_util.hpp"

namespace kestrove::storage {
namespace {

using namespace testing;

constexpr const char* kShortRead = "IO error: failed to fill whole buffer";
constexpr const char* kNoValidSlot =
    "Invalid data: Invalid or corrupted header (no valid header slots)";

// Exit codes of a child that runs one database operation.
enum ChildExit : int {
    kOpFailedWithIo = 10,
    kOpSucceeded = 11,
    kOpFailedOtherwise = 12,
    kSetupFailed = 13,
};

template <class R>
int exit_code_of(const R& result) {
    if (result.ok()) return kOpSucceeded;
    return result.error().kind() == Error::Kind::Io ? kOpFailedWithIo : kOpFailedOtherwise;
}

// Root ignores file permissions: a child that must meet them drops to the unprivileged "nobody"
// first. False when that fails.
bool drop_privileges() {
    constexpr uid_t kNobody = 65534;
    if (::geteuid() != 0) return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
}

// From now on no file of this process may grow past `bytes`; a write beyond fails with EFBIG,
// which is what a full disk or a crash in the middle of the write leaves behind.
bool limit_file_size(uint64_t bytes) {
    const rlimit limit{bytes, bytes};
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

// Runs `body` in a forked child and returns its exit code, or 128 + the signal that ended it.
int run_in_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        ::_exit(body());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// A file with one commit per batch: generation g holds the records of batches 1..g.
struct Commits {
    std::vector<std::vector<Bytes>> records;  // records[g]: what generation g holds
    std::vector<uint64_t> ends;               // ends[g]: its committed_end
    std::vector<std::string> heads;           // heads[g]: both header slots right after it
};

void write_commits(const std::string& path, uint32_t kind, size_t batches, Commits& out) {
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, kind, 3));
    out = Commits{{{}}, {kDataStart}, {read_whole_file(path)}};
    for (size_t g = 1; g <= batches; ++g) {
        const auto batch = sample_molecules(2, static_cast<int>(10 * g));
        ASSERT_OK(db.add_molecules(pointers(batch)));
        ASSERT_OK(db.flush());
        auto records = out.records.back();
        for (Bytes& r : serialized(batch, 2)) records.push_back(std::move(r));
        out.records.push_back(std::move(records));
        out.ends.push_back(db.committed_end());
        out.heads.push_back(read_whole_file(path).substr(0, kDataStart));
    }
}

// Both open modes see commit `g`; then a writer appends at its end and commits on top of it.
void expect_reopens_at_commit(const std::string& path, const Commits& commits, uint64_t g) {
    for (bool mmap : {true, false}) {
        SCOPED_TRACE(mmap ? "reopened mapped" : "reopened from the file");
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, mmap, false));
        EXPECT_EQ(db.generation(), g);
        EXPECT_EQ(db.committed_end(), commits.ends[g]);
        EXPECT_EQ(read_all(db), commits.records[g]);
        if (mmap) continue;
        EXPECT_EQ(db.tail_dirty(), file_size(path) > commits.ends[g]);
        const Molecule extra = sample_molecule(4, 99);
        ASSERT_OK(db.add_molecule(extra));
        EXPECT_EQ(db.index().owned_entries().back().offset, commits.ends[g]);
        ASSERT_OK(db.flush());
    }
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, false, false));
    EXPECT_EQ(db.generation(), g + 1);
    auto expected = commits.records[g];
    expected.push_back(serialized({sample_molecule(4, 99)}, 2)[0]);
    EXPECT_EQ(read_all(db), expected);
}

TEST(DatabaseCrashTest, AppendCutShortReopensAtTheLastCommit) {
    for (uint32_t kind : {0u, 2u}) {
        ScratchDir dir;
        const std::string base = dir.file("base" + std::to_string(kind));
        Commits commits;
        ASSERT_NO_FATAL_FAILURE(write_commits(base, kind, 1, commits));
        const auto batch = sample_molecules(3, 40);
        std::vector<uint64_t> stored;
        for (const Bytes& r : serialized(batch, 2)) {
            auto packed = compression::compress(r, {kind, 3});
            ASSERT_OK(packed);
            stored.push_back(packed.value().size());
        }
        const uint64_t total = stored[0] + stored[1] + stored[2];
        for (uint64_t cut : {uint64_t{0}, uint64_t{1}, stored[0] - 1, stored[0], stored[0] + 1,
                             total - 1, total}) {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", cut after " + std::to_string(cut));
            const std::string path = dir.file("db");
            copy_over(base, path);
            const int code = run_in_child([&] {
                auto db = AtomDatabase::open_with_options(path, false, false);
                if (!db.ok() || !limit_file_size(commits.ends[1] + cut)) return int{kSetupFailed};
                return exit_code_of(db.value().add_molecules(pointers(batch)));
            });
            EXPECT_EQ(code, cut < total ? kOpFailedWithIo : kOpSucceeded);
            EXPECT_EQ(file_size(path), commits.ends[1] + cut);
            expect_reopens_at_commit(path, commits, 1);
        }
    }
}

TEST(DatabaseCrashTest, FlushCutShortReopensAtThePreviousCommit) {
    ScratchDir dir;
    const std::string base = dir.file("base");
    Commits commits;
    ASSERT_NO_FATAL_FAILURE(write_commits(base, 1, 1, commits));
    const auto batch = sample_molecules(2, 50);

    // A flush run to completion on a copy tells how long its two blobs are.
    const std::string dry = dir.file("dry");
    std::filesystem::copy_file(base, dry);
    uint64_t appended_size = 0;
    std::optional<header::Header> h;
    {
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(dry, false, false));
        ASSERT_OK(db.add_molecules(pointers(batch)));
        appended_size = file_size(dry);
        ASSERT_OK(db.flush());
        h = slot_header(dry, 0);
        ASSERT_TRUE(h.has_value());
    }
    const uint64_t total = h->schema_len + h->index_len;
    ASSERT_EQ(appended_size + total, file_size(dry));
    Commits with_batch = commits;
    with_batch.records.push_back(commits.records[1]);
    for (Bytes& r : serialized(batch, 2)) with_batch.records[2].push_back(std::move(r));
    with_batch.ends.push_back(appended_size + total);

    for (uint64_t cut : {uint64_t{0}, uint64_t{1}, h->schema_len - 1, h->schema_len,
                         h->schema_len + 1, total - 1, total}) {
        SCOPED_TRACE("cut after " + std::to_string(cut));
        const std::string path = dir.file("db");
        copy_over(base, path);
        const int code = run_in_child([&] {
            auto db = AtomDatabase::open_with_options(path, false, false);
            if (!db.ok() || !db.value().add_molecules(pointers(batch)).ok() ||
                !limit_file_size(appended_size + cut)) {
                return int{kSetupFailed};
            }
            return exit_code_of(db.value().flush());
        });
        EXPECT_EQ(code, cut < total ? kOpFailedWithIo : kOpSucceeded);
        EXPECT_EQ(file_size(path), appended_size + cut);
        if (cut < total) {
            expect_reopens_at_commit(path, commits, 1);
        } else {
            expect_reopens_at_commit(path, with_batch, 2);
        }
    }
}

// Offsets in [0, total] at which to cut a write: every one of `boundaries` and its neighbours,
// and `spread` more spaced evenly, so that the count stays bounded however long the write is.
std::vector<uint64_t> cut_points(uint64_t total, const std::vector<uint64_t>& boundaries,
                                 uint64_t spread) {
    std::set<uint64_t> cuts = {0, 1, total};
    for (uint64_t b : boundaries) {
        for (uint64_t c : {b - 1, b, b + 1}) {
            if (b > 0 && c <= total) cuts.insert(c);
        }
    }
    for (uint64_t i = 1; i < spread; ++i) cuts.insert(total * i / spread);
    return {cuts.begin(), cuts.end()};
}

// An append and its flush, run as one operation and cut short at many file sizes between the
// committed end and the final size: records, schema-lock blob and index blob. Short of the final
// size the reopen sees the previous commit exactly; at it, the new one.
TEST(DatabaseCrashTest, AppendAndFlushCutAtManySizesReopenAtExactlyOneCommit) {
    size_t tried = 0;
    for (uint32_t kind : {0u, 1u, 2u}) {
        ScratchDir dir;
        const std::string base = dir.file("base" + std::to_string(kind));
        Commits commits;
        ASSERT_NO_FATAL_FAILURE(write_commits(base, kind, 1, commits));
        const auto batch = sample_molecules(4, 60);

        // A run to completion on a copy gives the sizes of what the operation writes.
        const std::string dry = dir.file("dry");
        copy_over(base, dry);
        std::vector<uint64_t> boundaries;
        {
            ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(dry, false, false));
            ASSERT_OK(db.add_molecules(pointers(batch)));
            for (const auto& entry : db.index().owned_entries()) {
                boundaries.push_back(entry.offset + entry.compressed_size - commits.ends[1]);
            }
            ASSERT_OK(db.flush());
        }
        const auto h = slot_header(dry, 0);
        ASSERT_TRUE(h.has_value());
        boundaries.push_back(h->schema_offset - commits.ends[1]);
        boundaries.push_back(h->index_offset - commits.ends[1]);
        const uint64_t total = file_size(dry) - commits.ends[1];
        Commits next = commits;
        next.records.push_back(commits.records[1]);
        for (Bytes& r : serialized(batch, 2)) next.records[2].push_back(std::move(r));
        next.ends.push_back(file_size(dry));

        for (uint64_t cut : cut_points(total, boundaries, 24)) {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", cut after " + std::to_string(cut) +
                         " of " + std::to_string(total));
            const std::string path = dir.file("db");
            copy_over(base, path);
            const int code = run_in_child([&] {
                auto db = AtomDatabase::open_with_options(path, false, false);
                if (!db.ok() || !limit_file_size(commits.ends[1] + cut)) return int{kSetupFailed};
                const Status appended = db.value().add_molecules(pointers(batch));
                return exit_code_of(appended.ok() ? db.value().flush() : appended);
            });
            ++tried;
            EXPECT_EQ(code, cut < total ? kOpFailedWithIo : kOpSucceeded);
            EXPECT_EQ(file_size(path), commits.ends[1] + cut);
            if (cut < total) {
                ASSERT_NO_FATAL_FAILURE(expect_reopens_at_commit(path, commits, 1));
            } else {
                ASSERT_NO_FATAL_FAILURE(expect_reopens_at_commit(path, next, 2));
            }
        }
    }
    RecordProperty("cut_points", std::to_string(tried));
}

// The slot of the newest commit written only in part (a torn write: its first `k` bytes new, the
// rest still the bytes it held before), or either slot with one bit flipped. A torn or flipped
// newest slot leaves the previous commit; a flip in the other slot leaves the newest; a flip in
// the first eight bytes of slot 0 refuses the file, whose format those bytes name.
TEST(DatabaseCrashTest, TornOrBitFlippedSlotReopensAtExactlyOneCommit) {
    const size_t tears[] = {0,  1,  4,  8,  9,  16,  24,   32,   40,   48,   52,
                            56, 60, 68, 76, 80, 512, 2048, 4091, 4092, 4093, 4095};
    std::vector<size_t> flips;
    for (size_t at = 0; at < 80; at += 3) flips.push_back(at);
    for (size_t at : {81, 1000, 2047, 4091, 4092, 4093, 4094, 4095}) flips.push_back(at);

    for (size_t newest_commit : {1, 2}) {
        ScratchDir dir;
        const std::string base = dir.file("base");
        Commits commits;
        ASSERT_NO_FATAL_FAILURE(write_commits(base, 2, newest_commit, commits));
        const uint64_t newest_at = (newest_commit % 2) * header::kHeaderSlotSize;
        const uint64_t other_at = header::kHeaderSlotSize - newest_at;
        const std::string before =
            commits.heads[newest_commit - 1].substr(newest_at, header::kHeaderSlotSize);
        const std::string after =
            commits.heads[newest_commit].substr(newest_at, header::kHeaderSlotSize);
        for (size_t k : tears) {
            SCOPED_TRACE("commit " + std::to_string(newest_commit) + ", slot torn after " +
                         std::to_string(k) + " bytes");
            const std::string path = dir.file("db");
            copy_over(base, path);
            const std::string torn = after.substr(0, k) + before.substr(k);
            ASSERT_NE(torn, after);
            overwrite(path, newest_at, torn.data(), torn.size());
            ASSERT_NO_FATAL_FAILURE(expect_reopens_at_commit(path, commits, newest_commit - 1));
        }
        for (uint64_t slot_at : {newest_at, other_at}) {
            for (size_t at : flips) {
                SCOPED_TRACE("commit " + std::to_string(newest_commit) + ", bit " +
                             std::to_string(at % 8) + " of byte " + std::to_string(at) +
                             " of the slot at " + std::to_string(slot_at) + " flipped");
                const std::string path = dir.file("db");
                copy_over(base, path);
                const uint8_t byte =
                    static_cast<uint8_t>(read_whole_file(path)[slot_at + at] ^ (1u << (at % 8)));
                overwrite(path, slot_at + at, &byte, 1);
                if (slot_at == 0 && at < 8) {
                    const std::string expected =
                        at < 4 ? "Invalid data: Invalid file format"
                               : "Invalid data: Unsupported file format version";
                    for (bool mmap : {false, true}) {
                        const std::string error =
                            error_of(AtomDatabase::open_with_options(path, mmap, false));
                        EXPECT_EQ(error.substr(0, expected.size()), expected);
                    }
                    continue;
                }
                const uint64_t g = slot_at == newest_at ? newest_commit - 1 : newest_commit;
                ASSERT_NO_FATAL_FAILURE(expect_reopens_at_commit(path, commits, g));
            }
        }
    }
}

// The slot the last flush wrote is damaged (or, as after a crash before the slot write, still
// holds what it held before): the other slot's commit is the database.
TEST(DatabaseCrashTest, DamagedOrStaleNewestSlotFallsBackToThePreviousCommit) {
    struct Case {
        const char* name;
        size_t commits;
        std::function<void(const std::string& path, const Commits&, uint64_t slot_at)> damage;
    };
    auto flip = [](size_t at) {
        return [at](const std::string& path, const Commits&, uint64_t slot_at) {
            const uint8_t byte = static_cast<uint8_t>(read_whole_file(path)[slot_at + at]) ^ 0x5A;
            overwrite(path, slot_at + at, &byte, 1);
        };
    };
    const Case cases[] = {
        {"torn: second half of the slot zeroed", 2,
         [](const std::string& path, const Commits&, uint64_t slot_at) {
             const std::string zeros(2048, '\0');
             overwrite(path, slot_at + 2048, zeros.data(), zeros.size());
         }},
        {"generation byte flipped", 2, flip(8)},
        {"index offset byte flipped", 2, flip(24)},
        {"reserved byte flipped", 2, flip(1000)},
        {"checksum byte flipped", 2, flip(4092)},
        {"slot never written", 2,
         [](const std::string& path, const Commits& c, uint64_t) {
             overwrite(path, 0, c.heads[1].data(), c.heads[1].size());
         }},
        {"odd slot overwritten whole, magic included", 1,
         [](const std::string& path, const Commits&, uint64_t slot_at) {
             const std::string junk(4096, '\xAB');
             overwrite(path, slot_at, junk.data(), junk.size());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string path = dir.file("db");
        Commits commits;
        ASSERT_NO_FATAL_FAILURE(write_commits(path, 2, c.commits, commits));
        c.damage(path, commits, (c.commits % 2) * header::kHeaderSlotSize);
        expect_reopens_at_commit(path, commits, c.commits - 1);
    }
}

// A slot rejected at open because its blobs lie past the end of the file (here the file lost its
// last byte) would become valid again once appends grow the file, and name bytes that are records
// now. The first append overwrites it with the chosen slot, so a crash before the next flush
// still reopens at the commit the open chose.
TEST(DatabaseCrashTest, SlotRejectedAtOpenStaysRejectedAfterTheFileGrows) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    Commits commits;
    ASSERT_NO_FATAL_FAILURE(write_commits(path, 0, 2, commits));  // generation 2 in slot 0
    std::filesystem::resize_file(path, file_size(path) - 1);
    const auto batch = sample_molecules(8, 60);
    const int code = run_in_child([&] {
        auto db = AtomDatabase::open_with_options(path, false, false);
        if (!db.ok() || db.value().generation() != 1) return int{kSetupFailed};
        if (!db.value().add_molecules(pointers(batch)).ok()) return int{kOpFailedOtherwise};
        ::raise(SIGKILL);  // dies before any flush
        return int{kOpSucceeded};
    });
    EXPECT_EQ(code, 128 + SIGKILL);
    ASSERT_GE(file_size(path), commits.ends[2]);  // the stale slot's blobs are inside the file
    expect_reopens_at_commit(path, commits, 1);
}

// Creating a database in a directory that may be written and searched but not read (mode -wx)
// succeeds: the file is synced, and the directory sync after it is best effort.
TEST(DatabaseCrashTest, CreationInAnUnreadableDirectorySucceeds) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0333), 0);
    const int code = run_in_child([&] {
        if (!drop_privileges()) return int{kSetupFailed};
        return exit_code_of(AtomDatabase::create_with_format(path, 0, 3));
    });
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
    EXPECT_EQ(code, kOpSucceeded);
    EXPECT_EQ(file_size(path), kDataStart);
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, false, false));
    EXPECT_EQ(db.len(), 0u);
}

// Sets or clears the append-only attribute of a directory (chattr +a), which keeps its entries
// from being removed, by root too: unlink() fails with EPERM. False where the file system or the
// process's capabilities refuse it.
bool set_append_only(const std::string& directory, bool on) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

// Keeps the entries of `directory` from being removed (`on`), or lets them be removed again:
// through the append-only attribute, or by making the directory read-only, which only an
// unprivileged caller meets. False where that is refused.
bool protect_entries(const std::string& directory, bool append_only, bool on) {
    if (append_only) return set_append_only(directory, on);
    return ::chmod(directory.c_str(), on ? 0555 : 0700) == 0;
}

// Appends `molecules` through `db` and reads them back through it, before and after its flush:
// the records must be `expected`.
Status append_and_read_back(AtomDatabase& db, const std::vector<Molecule>& molecules,
                            const std::vector<Bytes>& expected) {
    const auto read_back = [&]() -> Status {
        KESTROVE_ASSIGN_OR_RETURN(const auto records, db.get_raw_bytes(all_positions(db)));
        if (records != expected) return Error::invalid_data("other records read back");
        return {};
    };
    KESTROVE_TRY(db.add_molecules(pointers(molecules)));
    KESTROVE_TRY(read_back());
    KESTROVE_TRY(db.flush());
    return read_back();
}

// A replacing creation that cannot remove the old file's directory entry (unlink() fails with
// EPERM in an append-only directory, with EACCES for a caller who may not write the directory)
// truncates that file and takes it over: the same inode then holds the new database, which
// appends to it and reads its records back through it, and a handle that another party held on
// the old file reads the new one.
TEST(DatabaseCrashTest, ReplacementTakesOverInPlaceAFileWhoseEntryCannotBeRemoved) {
    const struct {
        const char* name;
        bool append_only;  // else read-only, met by an unprivileged caller
    } ways[] = {{"append-only directory", true}, {"read-only directory", false}};
    const std::vector<Molecule> molecules = sample_molecules(3);
    const std::vector<Bytes> expected = serialized(molecules, 2);
    int taken_over = 0;
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        ScratchDir dir;
        const std::string path = dir.file("db");
        Commits commits;
        ASSERT_NO_FATAL_FAILURE(write_commits(path, 0, 1, commits));
        ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
        ASSERT_OK_AND_ASSIGN(const platform::OpenedFile held,
                             platform::open_existing(path, platform::Access::kRead));
        const platform::FileStatus& old = held.status;

        if (!protect_entries(dir.path(), way.append_only, true)) continue;
        const int code = run_in_child([&] {
            if (!way.append_only && !drop_privileges()) return int{kSetupFailed};
            auto db =
                AtomDatabase::create_with_format(path, 2, 7, AtomDatabase::ExistingFile::kReplace);
            if (!db.ok()) return exit_code_of(db);
            return exit_code_of(append_and_read_back(db.value(), molecules, expected));
        });
        ASSERT_TRUE(protect_entries(dir.path(), way.append_only, false));
        if (code == kSetupFailed) continue;
        ++taken_over;

        ASSERT_EQ(code, kOpSucceeded);
        ASSERT_OK_AND_ASSIGN(const platform::OpenedFile named,
                             platform::open_existing(path, platform::Access::kRead));
        EXPECT_EQ(named.status.identity, old.identity);
        const std::string bytes = read_whole_file(path);
        ASSERT_EQ(held.file.size().value(), bytes.size());
        std::string seen(bytes.size(), '\0');
        ASSERT_OK(held.file.read_exact_at(0, seen.data(), seen.size()));
        EXPECT_EQ(seen, bytes);
        for (bool mmap : {true, false}) {
            ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, mmap, false));
            EXPECT_EQ(db.generation(), 1u);
            EXPECT_EQ(db.compression(), (compression::CompressionType{2, 7}));
            EXPECT_EQ(read_all(db), expected);
        }
    }
    if (taken_over == 0) GTEST_SKIP() << "no directory here keeps its entries from removal";
}

// A creation cut short (by a full disk; here by a file-size limit) removes the file it made, also
// one at the end of a symbolic link, so that a retry succeeds. A file that was at the path before,
// which only a replacing creation takes, was removed first: nothing is left.
TEST(DatabaseCrashTest, FailedCreationRemovesOnlyAFileItMade) {
    using ExistingFile = AtomDatabase::ExistingFile;
    enum class At { kNewPath, kLinkToNothing, kExistingFile };
    for (At at : {At::kNewPath, At::kLinkToNothing, At::kExistingFile}) {
        for (uint64_t limit : {uint64_t{0}, uint64_t{4096}, kDataStart - 1}) {
            SCOPED_TRACE("case " + std::to_string(static_cast<int>(at)) + ", limit " +
                         std::to_string(limit));
            ScratchDir dir;
            const std::string path = dir.file("db");
            const bool existed = at == At::kExistingFile;
            if (existed) platform::testing::write_whole_file(path, std::string(100, 'x'));
            if (at == At::kLinkToNothing) {
                ASSERT_EQ(::symlink("target", path.c_str()), 0);
            }
            const ExistingFile existing = existed ? ExistingFile::kReplace : ExistingFile::kRefuse;
            const int code = run_in_child([&] {
                if (!limit_file_size(limit)) return int{kSetupFailed};
                return exit_code_of(AtomDatabase::create_with_format(path, 0, 3, existing));
            });
            EXPECT_EQ(code, kOpFailedWithIo);
            EXPECT_FALSE(platform::path_exists(path));  // follows the link to its target
            ASSERT_OK(AtomDatabase::create_with_format(path, 0, 3, existing));
            ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, false, false));
            EXPECT_EQ(db.len(), 0u);
        }
    }
}

TEST(DatabaseCrashTest, TruncatedFileOpensAtTheNewestCommitItStillHoldsOrFailsCleanly) {
    ScratchDir dir;
    const std::string base = dir.file("base");
    Commits commits;
    ASSERT_NO_FATAL_FAILURE(write_commits(base, 1, 2, commits));
    const auto newest = slot_header(base, 0);
    ASSERT_TRUE(newest.has_value());
    ASSERT_EQ(newest->generation, 2u);

    struct Case {
        uint64_t length;
        std::string outcome;  // an error text, or the generation the open must find
    };
    const Case cases[] = {
        {0, kShortRead},
        {4, kShortRead},
        {7, kShortRead},
        {8, kShortRead},
        {4096, kShortRead},
        {8191, kShortRead},
        {kDataStart, kNoValidSlot},
        {kDataStart + 3, kNoValidSlot},  // inside the first record
        {commits.ends[1] - 1, kNoValidSlot},
        {commits.ends[1], "1"},
        {commits.ends[1] + 5, "1"},  // inside a record of the second batch
        {newest->schema_offset + 2, "1"},
        {newest->index_offset + 10, "1"},
        {commits.ends[2] - 1, "1"},
        {commits.ends[2], "2"},
    };
    AddressSpaceCap cap;
    for (const Case& c : cases) {
        for (bool mmap : {false, true}) {
            SCOPED_TRACE("length " + std::to_string(c.length) + (mmap ? " mapped" : ""));
            const std::string path = dir.file("db");
            copy_over(base, path);
            std::filesystem::resize_file(path, c.length);
            auto db = AtomDatabase::open_with_options(path, mmap, false);
            if (c.outcome.size() > 1) {
                EXPECT_EQ(error_of(db), c.outcome);
                continue;
            }
            ASSERT_OK(db);
            const uint64_t g = std::stoul(c.outcome);
            EXPECT_EQ(db.value().generation(), g);
            EXPECT_EQ(read_all(db.value()), commits.records[g]);
            EXPECT_EQ(db.value().tail_dirty(), !mmap && c.length > commits.ends[g]);
            EXPECT_EQ(file_size(path), c.length);
        }
    }
}

// Index entries are read as stored: a forged size or offset must fail the read of that record,
// leave the others readable, and never be trusted for an allocation.
TEST(DatabaseCrashTest, ForgedIndexEntryFailsOnlyTheReadOfItsRecord) {
    enum Outcome { kShort, kInHeader, kSame, kCompressionError, kFivePrefix, kEitherCleanly };
    struct Case {
        const char* name;
        size_t field_at;  // within the 20-byte entry
        uint64_t value;   // stored in 8 bytes at field 0, else in 4
        std::array<Outcome, 3> by_kind;
    };
    ScratchDir dir;
    for (uint32_t kind : {0u, 1u, 2u}) {
        const std::string base = dir.file("base" + std::to_string(kind));
        Commits commits;
        ASSERT_NO_FATAL_FAILURE(write_commits(base, kind, 2, commits));
        const auto expected = commits.records[2];
        const uint64_t length = file_size(base);
        const auto h = slot_header(base, 0);
        ASSERT_TRUE(h.has_value());
        const uint64_t entry_at = h->index_offset + index::kCountBytes + index::kEntryBytes;
        const uint64_t record_at = coding::load<uint64_t>(
            reinterpret_cast<const uint8_t*>(read_whole_file(base).data()) + entry_at);
        const Case cases[] = {
            {"offset 0", 0, 0, {kInHeader, kInHeader, kInHeader}},
            {"offset inside slot 1", 0, kDataStart - 1, {kInHeader, kInHeader, kInHeader}},
            {"offset at the end of the file", 0, length, {kShort, kShort, kShort}},
            {"offset past the end of the file", 0, length + 4096, {kShort, kShort, kShort}},
            {"offset near 2^64", 0, UINT64_MAX - 4, {kShort, kShort, kShort}},
            {"compressed size 0xFFFFFFF0", 8, 0xFFFFFFF0, {kShort, kShort, kShort}},
            {"compressed size one past the file",
             8,
             length - record_at + 1,
             {kShort, kShort, kShort}},
            // Whether five bytes of an LZ4 block decode is the codec's business.
            {"compressed size 5", 8, 5, {kFivePrefix, kEitherCleanly, kCompressionError}},
            {"uncompressed size 0xFFFFFFF0", 12, 0xFFFFFFF0, {kSame, kCompressionError, kSame}},
            {"uncompressed size 0x70000000", 12, 0x70000000, {kSame, kSame, kSame}},
            {"uncompressed size 0", 12, 0, {kSame, kCompressionError, kCompressionError}},
        };
        for (const Case& c : cases) {
            const std::string path = dir.file("db");
            copy_over(base, path);
            if (c.field_at == 0) {
                overwrite_value<uint64_t>(path, entry_at, c.value);
            } else {
                overwrite_value<uint32_t>(path, entry_at + c.field_at,
                                          static_cast<uint32_t>(c.value));
            }
            for (bool mmap : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + ", kind " + std::to_string(kind) +
                             (mmap ? ", mapped" : ""));
                ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, mmap, false));
                AddressSpaceCap cap;
                const size_t others[] = {0, 2, 3};
                ASSERT_OK_AND_ASSIGN(auto fine, db.get_raw_bytes(others));
                EXPECT_EQ(fine[1], expected[2]);
                const size_t one[] = {1};
                auto read = db.get_raw_bytes(one);
                auto with_atoms = db.read_decompress_parallel(one);
                EXPECT_EQ(error_of(read), error_of(with_atoms));
                // Among good records read through the same handle, the entry fails the same way.
                const size_t mixed[] = {3, 0, 1, 2};
                EXPECT_EQ(error_of(db.get_raw_bytes(mixed)), error_of(read));
                switch (c.by_kind[kind]) {
                    case kShort:
                        EXPECT_EQ(error_of(read), kShortRead);
                        EXPECT_FALSE(db.get_compressed_slice(1).has_value());
                        EXPECT_FALSE(db.get_shared_mmap_bytes(1).has_value());
                        break;
                    case kInHeader:
                        EXPECT_EQ(error_of(read), "Invalid data: Record offset " +
                                                      std::to_string(c.value) +
                                                      " lies before the data start 8192");
                        EXPECT_FALSE(db.get_compressed_slice(1).has_value());
                        EXPECT_FALSE(db.get_shared_mmap_bytes(1).has_value());
                        break;
                    case kSame:
                        ASSERT_OK(read);
                        EXPECT_EQ(read.value()[0], expected[1]);
                        break;
                    case kCompressionError:
                        ASSERT_FALSE(read.ok());
                        EXPECT_EQ(read.error().kind(), Error::Kind::Compression) << error_of(read);
                        break;
                    case kFivePrefix:
                        ASSERT_OK(read);
                        EXPECT_EQ(read.value()[0],
                                  Bytes(expected[1].begin(), expected[1].begin() + 5));
                        break;
                    case kEitherCleanly:
                        break;
                }
            }
        }
    }
}

// A blob named by an intact slot is still untrusted: the open fails with the decoder's error,
// except that a mapped open reads the index in place and never decodes its count.
TEST(DatabaseCrashTest, DamagedBlobOfTheCommitFailsTheOpen) {
    struct Case {
        const char* name;
        bool in_index;
        size_t at;
        std::vector<uint8_t> bytes;
        const char* error;
    };
    const Case cases[] = {
        {"schema version", false, 0, {2}, "Invalid data: Unsupported schema blob version 2"},
        {"schema positions type",
         false,
         4,
         {9},
         "Invalid data: Unsupported schema positions type tag 9"},
        {"schema entry count huge",
         false,
         5,
         {0xFF, 0xFF, 0xFF, 0xFF},
         "Invalid data: Schema blob truncated"},
        {"schema entry count zero",
         false,
         5,
         {0, 0, 0, 0},
         "Invalid data: Schema blob trailing bytes"},
        {"schema per_atom flag", false, 9 + 2, {7}, "Invalid data: Invalid schema per_atom flag"},
        {"schema key length huge",
         false,
         9 + 3,
         {0xFF, 0xFF},
         "Invalid data: Schema blob truncated at key"},
        {"schema key not UTF-8",
         false,
         9 + 13,
         {0xC0},
         "Invalid data: Invalid UTF-8 in schema key"},
        {"index count huge",
         true,
         0,
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         "Invalid data: Index length overflow"},
        {"index count smaller than the header's",
         true,
         0,
         {1, 0, 0, 0, 0, 0, 0, 0},
         "Invalid data: Index length mismatch (expected 28, got 48)"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const std::string path = dir.file("db");
        Commits commits;
        ASSERT_NO_FATAL_FAILURE(write_commits(path, 0, 1, commits));
        const auto h = slot_header(path, 1);
        ASSERT_TRUE(h.has_value());
        overwrite(path, (c.in_index ? h->index_offset : h->schema_offset) + c.at, c.bytes.data(),
                  c.bytes.size());
        const std::string before = read_whole_file(path);
        for (bool mmap : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (mmap ? ", mapped" : ""));
            auto db = AtomDatabase::open_with_options(path, mmap, false);
            if (!(mmap && c.in_index)) {
                EXPECT_EQ(error_of(db), c.error);
            } else {
                ASSERT_OK(db);
                EXPECT_EQ(read_all(db.value()), commits.records[1]);
            }
        }
        EXPECT_EQ(read_whole_file(path), before);
    }
}

// An open beside a writer in another process: two commits land between the reader's length
// query and what follows it, or both slots are read while being rewritten (torn) and are whole
// when read again. Either way the reader opens at one of the commits, with its records, instead
// of calling the file corrupted.
TEST(DatabaseCrashTest, OpenRacingCommitsSeesACommitNotACorruptFile) {
    for (bool torn : {false, true}) {
        for (bool mmap : {false, true}) {
            SCOPED_TRACE(std::string(torn ? "slots torn" : "two commits") +
                         (mmap ? ", mapped" : ""));
            ScratchDir dir;
            const std::string path = dir.file("db");
            ASSERT_OK_AND_ASSIGN(auto writer, AtomDatabase::create_with_format(path, 1, 3));
            std::vector<std::vector<Bytes>> committed(1);  // committed[g]: what generation g holds
            auto commit = [&](int seed) {
                const auto batch = sample_molecules(3, seed);
                ASSERT_OK(writer.add_molecules(pointers(batch)));
                ASSERT_OK(writer.flush());
                committed.push_back(committed.back());
                for (Bytes& r : serialized(batch, 2)) committed.back().push_back(std::move(r));
            };
            commit(10);
            const std::string head = read_whole_file(path).substr(0, kDataStart);
            if (torn) {
                for (uint64_t at : {uint64_t{4092}, header::kHeaderSlotSize + 4092}) {
                    const uint8_t byte = static_cast<uint8_t>(head[at] ^ 0x01);
                    overwrite(path, at, &byte, 1);
                }
            }
            platform::run_after_next_size_query_for_testing([&] {
                if (torn) {
                    overwrite(path, 0, head.data(), head.size());
                } else {
                    commit(20);
                    commit(30);
                }
            });
            ASSERT_OK_AND_ASSIGN(auto reader, AtomDatabase::open_with_options(path, mmap, false));
            EXPECT_EQ(writer.generation(), torn ? 1u : 3u);  // the race did happen
            ASSERT_GE(reader.generation(), 1u);
            ASSERT_LE(reader.generation(), writer.generation());
            EXPECT_EQ(read_all(reader), committed[reader.generation()]);
        }
    }
}

// Only the first eight bytes of slot 0 are read before the best-slot choice: damage there
// refuses the file even when slot 1 is intact; damage elsewhere leaves slot 1 to serve. Slot 0
// holds the newer commit here.
TEST(DatabaseCrashTest, SlotZeroHeadAndRecordFormatAreCheckedOnOpen) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path, header::Header slot1)> damage;
        const char* error;  // nullptr: opens at generation 1, from slot 1
    };
    const Case cases[] = {
        {"magic", [](const std::string& path, header::Header) { overwrite(path, 0, "X", 1); },
         "Invalid data: Invalid file format"},
        {"version 3",
         [](const std::string& path, header::Header) { overwrite_value<uint32_t>(path, 4, 3); },
         "Invalid data: Unsupported file format version 3 (expected 2)"},
        {"checksum",
         [](const std::string& path, header::Header) { overwrite(path, 4093, "\x01\x02", 2); },
         nullptr},
        {"newer slot with record format 4",
         [](const std::string& path, header::Header h) {
             h.generation = 3;
             h.record_format = 4;
             write_slot(path, 0, h);
         },
         "Invalid data: Unsupported record format 4."},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const std::string path = dir.file("db");
        Commits commits;
        ASSERT_NO_FATAL_FAILURE(write_commits(path, 1, 2, commits));
        c.damage(path, *slot_header(path, 1));
        for (bool mmap : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (mmap ? ", mapped" : ""));
            auto db = AtomDatabase::open_with_options(path, mmap, false);
            if (c.error != nullptr) {
                EXPECT_EQ(error_of(db), c.error);
                continue;
            }
            ASSERT_OK(db);
            EXPECT_EQ(db.value().generation(), 1u);
            EXPECT_EQ(read_all(db.value()), commits.records[1]);
        }
    }
}

}  // namespace
}  // namespace kestrove::storage
