// Tests of the database object: creation, appends on every road, commits and reads.
#include "engine/storage/database.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/compression.hpp"
#include "engine/storage/dtypes.hpp"
#include "tests/engine/database_test_util.hpp"

namespace kestrove::storage {
namespace {

using namespace testing;
using compression::CompressionType;

constexpr const char* kReadOnlyAppend =
    "Invalid data: Cannot add molecules to a database opened with a memory-mapped index "
    "(read-only); reopen without mmap to write.";
constexpr const char* kReadOnlyFlush =
    "Invalid data: Cannot flush a database opened with a memory-mapped index (read-only); "
    "reopen without mmap to write.";

// A committed database of `molecules`, one append and one flush, closed again.
void write_committed(const std::string& path, const std::vector<Molecule>& molecules,
                     uint32_t kind = CompressionType::None) {
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, kind, 3));
    ASSERT_OK(db.add_molecules(pointers(molecules)));
    ASSERT_OK(db.flush());
}

TEST(AtomDatabaseTest, CreateLeavesTwoIdenticalEmptySlotsOverAnyOldContent) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    platform::testing::write_whole_file(path, std::string(20000, '\x7F'));

    ASSERT_OK_AND_ASSIGN(auto created, AtomDatabase::create_with_format(
                                           path, 2, 7, AtomDatabase::ExistingFile::kReplace));
    EXPECT_EQ(created.len(), 0u);
    const std::string bytes = read_whole_file(path);
    ASSERT_EQ(bytes.size(), kDataStart);
    EXPECT_EQ(bytes.substr(0, 4096), bytes.substr(4096));
    const auto h = slot_header(path, 0);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->generation, 0u);
    EXPECT_EQ(h->record_format, 2u);
    EXPECT_EQ(h->compression, (CompressionType{2, 7}));
    EXPECT_EQ(h->index_offset, 0u);

    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, false, false));
    EXPECT_EQ(db.len(), 0u);
    EXPECT_FALSE(db.schema_lock().has_value());
    EXPECT_FALSE(db.schema_info().has_value());
    EXPECT_EQ(db.committed_end(), kDataStart);
    EXPECT_FALSE(db.tail_dirty());
    EXPECT_EQ(db.compression(), (CompressionType{2, 7}));
}

// Restores the current directory when it goes out of scope.
class CurrentDirectory {
public:
    CurrentDirectory() : saved_(std::filesystem::current_path()) {}
    ~CurrentDirectory() { std::filesystem::current_path(saved_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::filesystem::path saved_;
};

// A creation makes its file exclusively: a database that another process committed at the path
// after the caller's own check for it is refused with EEXIST and left as it was, directly or
// through a link, unless truncation is asked for. A symbolic link to nothing yet is followed,
// through a chain of such links, to where the file is made; a loop of links is refused.
TEST(AtomDatabaseTest, CreationTakesNoFileItDidNotMakeUnlessAskedTo) {
    ScratchDir dir;
    const std::string path = dir.file("db"), link = dir.file("link");
    ASSERT_NO_FATAL_FAILURE(write_committed(path, sample_molecules(3)));
    const std::string committed = read_whole_file(path);
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    for (const std::string& at : {path, link}) {
        auto refused = AtomDatabase::create_with_format(at, 0, 3);
        ASSERT_FALSE(refused.ok()) << at;
        EXPECT_EQ(refused.error().os_code(), EEXIST);
        EXPECT_EQ(read_whole_file(path), committed);
    }
    ASSERT_OK(AtomDatabase::create_with_format(link, 0, 3, AtomDatabase::ExistingFile::kReplace));
    EXPECT_EQ(read_whole_file(path).size(), kDataStart);

    // "first" -> "second" (relative) -> dir/made (absolute), which does not exist yet.
    const std::string first = dir.file("first"), made = dir.file("made");
    ASSERT_EQ(::symlink("second", first.c_str()), 0);
    ASSERT_EQ(::symlink(made.c_str(), dir.file("second").c_str()), 0);
    ASSERT_OK_AND_ASSIGN(auto created, AtomDatabase::create_with_format(first, 0, 3));
    ASSERT_OK(created.add_molecules(pointers(sample_molecules(2))));
    ASSERT_OK(created.flush());
    EXPECT_TRUE(std::filesystem::is_symlink(first));
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(made)));
    ASSERT_OK_AND_ASSIGN(auto reopened, AtomDatabase::open_with_options(made, false, false));
    EXPECT_EQ(reopened.len(), 2u);

    const std::string loop = dir.file("loop");
    ASSERT_EQ(::symlink("loop", loop.c_str()), 0);
    auto looped = AtomDatabase::create_with_format(loop, 0, 3);
    ASSERT_FALSE(looped.ok());
    EXPECT_EQ(looped.error().os_code(), ELOOP);
}

// A replacing creation ends up with a file that it made itself: a file that another process makes
// at the path after the old one was removed is removed in turn, never truncated and taken over.
// That process's handle keeps its own contents.
TEST(AtomDatabaseTest, ReplacementRemovesAFileMadeAfterTheRemovalInsteadOfTakingItOver) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    ASSERT_NO_FATAL_FAILURE(write_committed(path, sample_molecules(3)));
    std::optional<platform::File> theirs;
    platform::run_after_next_replacement_removal_for_testing([&] {
        platform::testing::write_whole_file(path, "another process's file");
        auto opened = platform::open_existing(path, platform::Access::kRead);
        ASSERT_TRUE(opened.ok());
        theirs = std::move(opened).value().file;
    });
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(
                                      path, 0, 3, AtomDatabase::ExistingFile::kReplace));
    ASSERT_TRUE(theirs.has_value());
    std::string kept(22, '\0');
    ASSERT_OK(theirs->read_exact_at(0, kept.data(), kept.size()));
    EXPECT_EQ(kept, "another process's file");
    EXPECT_NE(theirs->status()->identity,
              platform::open_existing(path, platform::Access::kRead)->status.identity);
    ASSERT_OK(db.add_molecules(pointers(sample_molecules(2))));
    ASSERT_OK(db.flush());
    ASSERT_OK_AND_ASSIGN(auto reopened, AtomDatabase::open_with_options(path, false, false));
    EXPECT_EQ(reopened.len(), 2u);
}

// A replacing creation removes what it finds at its path at most eight times: here another
// process makes a file there again right after each removal. Seven such files are removed in turn
// and the creation succeeds; an eighth makes it give up with EEXIST, leaving that file as it is.
TEST(AtomDatabaseTest, ReplacementGivesUpWhenAFileReappearsAfterEachOfEightRemovals) {
    for (const int remade : {7, 8}) {
        SCOPED_TRACE(std::to_string(remade) + " files made after removals");
        ScratchDir dir;
        const std::string path = dir.file("db");
        platform::testing::write_whole_file(path, "file 0");
        int made = 0;
        std::function<void()> make_another = [&] {
            platform::testing::write_whole_file(path, "file " + std::to_string(++made));
            if (made == remade) return;
            platform::run_after_next_replacement_removal_for_testing(make_another);
        };
        platform::run_after_next_replacement_removal_for_testing(make_another);
        auto created =
            AtomDatabase::create_with_format(path, 0, 3, AtomDatabase::ExistingFile::kReplace);
        platform::run_after_next_replacement_removal_for_testing(nullptr);
        EXPECT_EQ(made, remade);
        if (remade < 8) {
            ASSERT_TRUE(created.ok()) << created.error().display();
            EXPECT_EQ(read_whole_file(path).size(), kDataStart);
        } else {
            ASSERT_FALSE(created.ok());
            EXPECT_EQ(created.error().os_code(), EEXIST);
            EXPECT_EQ(read_whole_file(path), "file 8");
        }
    }
}

// An append that fails after its schema was worked out (here its file is away from the path when
// it opens it) leaves the schema lock and the record format as they were, so that the next commit
// describes only records that were written: no forces, single-precision positions, format 2.
TEST(AtomDatabaseTest, FailedAppendLeavesTheSchemaAndRecordFormatAsTheyWere) {
    ScratchDir dir;
    const std::string path = dir.file("db"), away = dir.file("away");
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, 1, 3));
    auto doubles = Molecule::create_f64({{0.1, 0.2, 0.3}}, {8});
    ASSERT_TRUE(doubles.ok());
    doubles.value().forces = types::Vec3Data(std::vector<types::Vec3d>{{1.0, 2.0, 3.0}});
    std::filesystem::rename(path, away);
    EXPECT_EQ(error_of(db.add_molecule(doubles.value())),
              "IO error: No such file or directory (os error 2)");
    EXPECT_FALSE(db.schema_lock().has_value());
    EXPECT_EQ(db.record_format(), 2u);
    std::filesystem::rename(away, path);

    Molecule plain = sample_molecule(2, 7);
    plain.forces.reset();
    ASSERT_OK(db.add_molecule(plain));
    ASSERT_OK(db.flush());
    ASSERT_OK_AND_ASSIGN(auto reopened, AtomDatabase::open_with_options(path, false, false));
    EXPECT_EQ(reopened.record_format(), 2u);
    const auto schema = reopened.schema_info();
    ASSERT_TRUE(schema.has_value());
    EXPECT_EQ(schema->positions_type, dtypes::kTagVec3F32);
    for (const auto& section : schema->sections) EXPECT_NE(section.key, "forces");
    ASSERT_OK(reopened.add_molecule(plain));
}

// A relative path names the file it named when the database was created or opened, whatever the
// current directory is when the database later appends or flushes.
TEST(AtomDatabaseTest, RelativePathKeepsNamingItsFileAfterAChangeOfDirectory) {
    ScratchDir dir;
    const std::string here = dir.file("here"), there = dir.file("there");
    std::filesystem::create_directory(here);
    std::filesystem::create_directory(there);
    ASSERT_NO_FATAL_FAILURE(write_committed(there + "/y.db", sample_molecules(3)));
    const std::string other_file = read_whole_file(there + "/y.db");
    const auto first = sample_molecules(2, 20), second = sample_molecules(2, 30);
    {
        CurrentDirectory restore;
        std::filesystem::current_path(here);
        ASSERT_OK_AND_ASSIGN(auto created, AtomDatabase::create_with_format("y.db", 0, 3));
        std::filesystem::current_path(there);
        ASSERT_OK(created.add_molecules(pointers(first)));
        ASSERT_OK(created.flush());

        std::filesystem::current_path(here);
        ASSERT_OK_AND_ASSIGN(auto opened, AtomDatabase::open_with_options("y.db", false, false));
        std::filesystem::current_path(there);
        ASSERT_OK(opened.add_molecules(pointers(second)));
        ASSERT_OK(opened.flush());
    }
    EXPECT_EQ(read_whole_file(there + "/y.db"), other_file);
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(here + "/y.db", true, false));
    auto expected = serialized(first, 2);
    for (Bytes& r : serialized(second, 2)) expected.push_back(std::move(r));
    EXPECT_EQ(read_all(db), expected);
}

TEST(AtomDatabaseTest, RecordsRoundTripInEveryCompressionAndOpenMode) {
    const auto molecules = sample_molecules(5);
    const auto expected = serialized(molecules, 2);
    for (uint32_t kind : {0u, 1u, 2u}) {
        for (bool mmap : {false, true}) {
            SCOPED_TRACE("kind " + std::to_string(kind) + (mmap ? " mmap" : " file"));
            ScratchDir dir;
            const std::string path = dir.file("db");
            schema::SchemaLock written_lock;
            {
                ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, kind, 3));
                ASSERT_OK(db.add_molecules(pointers(molecules)));
                // Before the commit the writer reads its records back from the file.
                EXPECT_EQ(read_all(db), expected);
                ASSERT_OK(db.flush());
                written_lock = *db.schema_lock();
            }
            const std::string before = read_whole_file(path);
            ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, mmap, mmap));
            ASSERT_EQ(db.len(), 5u);
            EXPECT_EQ(db.has_data_mmap(), mmap);
            EXPECT_EQ(db.index().is_mapped(), mmap);
            EXPECT_EQ(db.schema_lock(), written_lock);

            const size_t order[] = {2, 0, 2};
            ASSERT_OK_AND_ASSIGN(auto picked, db.get_raw_bytes(order));
            ASSERT_EQ(picked.size(), 3u);
            EXPECT_EQ(picked[0], expected[2]);
            EXPECT_EQ(picked[1], expected[0]);
            EXPECT_EQ(picked[2], expected[2]);
            EXPECT_EQ(read_all(db), expected);

            ASSERT_OK_AND_ASSIGN(auto with_atoms, db.read_decompress_parallel(order));
            EXPECT_EQ(with_atoms.records, picked);
            EXPECT_EQ(with_atoms.num_atoms,
                      (std::vector<uint32_t>{static_cast<uint32_t>(molecules[2].num_positions()),
                                             static_cast<uint32_t>(molecules[0].num_positions()),
                                             static_cast<uint32_t>(molecules[2].num_positions())}));

            ASSERT_OK_AND_ASSIGN(auto none, db.get_raw_bytes({}));
            EXPECT_TRUE(none.empty());

            for (size_t i = 0; i < 5; ++i) {
                EXPECT_EQ(db.uncompressed_size(i), expected[i].size());
                EXPECT_EQ(db.num_atoms(i), molecules[i].num_positions());
                const auto slice = db.get_compressed_slice(i);
                ASSERT_EQ(slice.has_value(), mmap);
                if (!mmap) continue;
                auto unpacked = compression::decompress(*slice, db.compression(), std::nullopt);
                ASSERT_OK(unpacked);
                EXPECT_EQ(unpacked.value(), expected[i]);
                if (kind == 0) {
                    EXPECT_TRUE(std::equal(slice->begin(), slice->end(), expected[i].begin(),
                                           expected[i].end()));
                }
            }
            EXPECT_EQ(read_whole_file(path), before);
        }
    }
}

TEST(AtomDatabaseTest, OutOfRangePositionIsNamedAndNothingIsReturned) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    write_committed(path, sample_molecules(10), CompressionType::Lz4);
    for (bool mmap : {false, true}) {
        SCOPED_TRACE(mmap ? "mmap" : "file");
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, mmap, false));
        const size_t positions[] = {1, 99, 100};
        EXPECT_EQ(error_of(db.get_raw_bytes(positions)), "Invalid data: Index 99 out of bounds");
        EXPECT_EQ(error_of(db.read_decompress_parallel(positions)),
                  "Invalid data: Index 99 out of bounds");
        EXPECT_FALSE(db.get_compressed_slice(10).has_value());
        EXPECT_FALSE(db.get_shared_mmap_bytes(10).has_value());
        EXPECT_FALSE(db.uncompressed_size(10).has_value());
        EXPECT_FALSE(db.num_atoms(UINT64_MAX).has_value());
    }
}

TEST(AtomDatabaseTest, SharedMmapBytesOutliveTheDatabase) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    const auto molecules = sample_molecules(3);
    write_committed(path, molecules);
    std::optional<SharedMmapBytes> share;
    {
        ASSERT_OK_AND_ASSIGN(auto file_db, AtomDatabase::open_with_options(path, false, false));
        EXPECT_FALSE(file_db.get_shared_mmap_bytes(1).has_value());
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, true, false));
        share = db.get_shared_mmap_bytes(1);
        ASSERT_TRUE(share.has_value());
        EXPECT_EQ(share->end() - share->start(), *db.uncompressed_size(1));
    }
    const auto expected = serialized(molecules, 2)[1];
    const auto bytes = share->as_slice();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end()));
}

TEST(AtomDatabaseTest, ReadOnlyDatabaseRefusesEveryWriteAndLeavesTheFileAlone) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    const auto molecules = sample_molecules(2);
    write_committed(path, molecules);
    append_garbage(path, 100);  // a mapped file is never shortened
    const std::string before = read_whole_file(path);
    const auto records = serialized(molecules, 2);

    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, true, false));
    EXPECT_FALSE(db.tail_dirty());
    const auto schema = *db.schema_info();
    EXPECT_EQ(error_of(db.add_molecule(molecules[0])), kReadOnlyAppend);
    const BorrowedRecord borrowed[] = {{records[0], 1}};
    EXPECT_EQ(error_of(db.add_raw_soa_records_with_schema(borrowed, schema)), kReadOnlyAppend);
    const TypedRecord typed[] = {{records[0], 1, dtypes::kTagVec3F32}};
    EXPECT_EQ(error_of(db.add_raw_soa_records_with_positions_type(typed)), kReadOnlyAppend);
    std::vector<OwnedRecord> owned;
    owned.push_back({records[0], 1});
    EXPECT_EQ(error_of(db.add_owned_soa_records_with_schema(std::move(owned), schema)),
              kReadOnlyAppend);
    EXPECT_EQ(error_of(db.flush()), kReadOnlyFlush);
    // An empty batch is accepted without looking at the database.
    ASSERT_OK(db.add_molecules({}));
    ASSERT_OK(db.add_raw_soa_records_with_positions_type({}));

    EXPECT_EQ(db.len(), 2u);
    EXPECT_EQ(read_all(db), records);
    EXPECT_EQ(read_whole_file(path), before);
}

TEST(AtomDatabaseTest, BatchSchemaMismatchComesBeforeTheReadOnlyRefusalAndTheTailCut) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    write_committed(path, sample_molecules(2));
    append_garbage(path, 100);
    const std::string before = read_whole_file(path);

    auto batch = sample_molecules(2, 5);
    batch[1].properties.insert_or_assign("label", int64_t{7});
    const std::string mismatch =
        "Invalid data: Schema mismatch for section 'label': expected SchemaEntry { type_tag: 2, "
        "per_atom: false, elem_bytes: 0, slot_bytes: 0 }, got SchemaEntry { type_tag: 1, "
        "per_atom: false, elem_bytes: 8, slot_bytes: 8 }";
    for (bool mmap : {true, false}) {
        SCOPED_TRACE(mmap ? "mmap" : "file");
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, mmap, false));
        EXPECT_EQ(error_of(db.add_molecules(pointers(batch))), mismatch);
        EXPECT_EQ(db.tail_dirty(), !mmap);
        EXPECT_EQ(db.len(), 2u);
        EXPECT_EQ(read_whole_file(path), before);
    }
}

TEST(AtomDatabaseTest, DoublePositionsMoveAnEmptyDatabaseToFormat3) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    auto m = Molecule::create_f64({{0.1, 0.2, 0.3}, {1e-300, -0.0, 7.0}}, {8, 1});
    ASSERT_TRUE(m.ok());
    {
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, 1, 0));
        ASSERT_OK(db.add_molecule(m.value()));
        EXPECT_EQ(db.record_format(), 3u);
        EXPECT_EQ(db.schema_info()->positions_type, dtypes::kTagVec3F64);
        ASSERT_OK(db.flush());
        EXPECT_EQ(slot_header(path, 1)->record_format, 3u);
    }
    const auto expected = serialized({m.value()}, 3);
    for (bool mmap : {false, true}) {
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, mmap, false));
        EXPECT_EQ(db.record_format(), 3u);
        EXPECT_EQ(read_all(db), expected);
    }
}

TEST(AtomDatabaseTest, NonEmptyFormat2DatabaseRefusesDoublePositionsAndStaysAsItWas) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    write_committed(path, sample_molecules(1));
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, false, false));
    const auto lock = db.schema_lock();
    const std::string before = read_whole_file(path);

    auto m = Molecule::create_f64({{0.1, 0.2, 0.3}}, {8});
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(error_of(db.add_molecule(m.value())),
              "Invalid data: record format 2 does not support float64 positions");
    EXPECT_EQ(db.record_format(), 2u);
    EXPECT_EQ(db.len(), 1u);
    EXPECT_EQ(db.schema_lock(), lock);
    EXPECT_EQ(read_whole_file(path), before);
}

// Molecules whose records need format 3 only for a field the later ones do not carry.
TEST(AtomDatabaseTest, RawRecordsMoveAnEmptyDatabaseToFormat3WhereverTheNeedAppears) {
    Molecule single_cell = sample_molecule(3, 1);
    single_cell.cell = types::Mat3Data(types::Mat3f{4, 0, 0, 0, 5, 0, 0, 0, 6});
    std::vector<Molecule> plain = sample_molecules(2, 2);
    for (Molecule& m : plain) m.cell.reset();
    const Bytes needs3 = serialized({single_cell}, 3)[0];
    const auto fits2 = serialized(plain, 2);

    struct Case {
        const char* name;
        std::vector<const Bytes*> records;
    };
    const Case cases[] = {
        {"first needs 3", {&needs3, &fits2[0], &fits2[1]}},
        {"last needs 3", {&fits2[0], &fits2[1], &needs3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(dir.file("db"), 2, 1));
        std::vector<TypedRecord> typed;
        std::vector<Bytes> expected;
        for (const Bytes* r : c.records) {
            typed.push_back({*r, coding::load<uint32_t>(r->data()), dtypes::kTagVec3F32});
            expected.push_back(*r);
        }
        ASSERT_OK(db.add_raw_soa_records_with_positions_type(typed));
        EXPECT_EQ(db.record_format(), 3u);
        const auto* cell = db.schema_lock()->sections.find(dtypes::kKindBuiltin, "cell");
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(cell->type_tag, dtypes::kTagMat3F32);
        EXPECT_EQ(read_all(db), expected);
    }

    // Once a format-2 database holds records it never moves.
    ScratchDir dir;
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(dir.file("db"), 0, 0));
    ASSERT_OK(db.add_molecules(pointers(plain)));
    const TypedRecord late[] = {{needs3, 3, dtypes::kTagVec3F32}};
    EXPECT_EQ(error_of(db.add_raw_soa_records_with_positions_type(late)),
              "Invalid data: record format 2 does not support float32 cell");
    EXPECT_EQ(db.record_format(), 2u);
    EXPECT_EQ(db.len(), 2u);
}

// Molecules, ready records with a schema (borrowed or owned) and ready records with their
// positions types all end up as the same stored records and the same lock.
TEST(AtomDatabaseTest, EveryIngestionRoadStoresTheSameRecordsAndLock) {
    ScratchDir dir;
    const auto molecules = sample_molecules(6);
    const auto records = serialized(molecules, 2);
    ASSERT_OK_AND_ASSIGN(auto reference, AtomDatabase::create_with_format(dir.file("ref"), 2, 3));
    ASSERT_OK(reference.add_molecules(pointers(molecules)));
    const DatabaseSchema schema = *reference.schema_info();

    const char* roads[] = {"raw with schema", "owned with schema", "raw with positions type"};
    for (int road = 0; road < 3; ++road) {
        SCOPED_TRACE(roads[road]);
        ASSERT_OK_AND_ASSIGN(
            auto db, AtomDatabase::create_with_format(dir.file("db" + std::to_string(road)), 2, 3));
        // Two calls, so that the second merges into the lock of the first.
        for (size_t begin : {size_t{0}, size_t{4}}) {
            const size_t end = begin == 0 ? 4 : 6;
            std::vector<BorrowedRecord> borrowed;
            std::vector<OwnedRecord> owned;
            std::vector<TypedRecord> typed;
            for (size_t i = begin; i < end; ++i) {
                const auto n = static_cast<uint32_t>(molecules[i].num_positions());
                borrowed.push_back({records[i], n});
                owned.push_back({records[i], n});
                typed.push_back({records[i], n, dtypes::kTagVec3F32});
            }
            if (road == 0) ASSERT_OK(db.add_raw_soa_records_with_schema(borrowed, schema));
            if (road == 1) {
                ASSERT_OK(db.add_owned_soa_records_with_schema(std::move(owned), schema));
            }
            if (road == 2) ASSERT_OK(db.add_raw_soa_records_with_positions_type(typed));
        }
        EXPECT_EQ(db.schema_lock(), reference.schema_lock());
        EXPECT_EQ(read_all(db), records);
        for (size_t i = 0; i < 6; ++i) EXPECT_EQ(db.num_atoms(i), reference.num_atoms(i));
    }
}

TEST(AtomDatabaseTest, EntriesOfOneCallAreContiguousFromTheEndOfTheFile) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, 2, 3));
    const auto molecules = sample_molecules(7);
    ASSERT_OK(db.add_molecules(pointers(molecules)));
    ASSERT_OK(db.flush());
    const uint64_t end_of_commit = file_size(path);
    ASSERT_OK(db.add_molecules(pointers(molecules)));

    const auto entries = db.index().owned_entries();
    ASSERT_EQ(entries.size(), 14u);
    EXPECT_EQ(entries[0].offset, kDataStart);
    EXPECT_EQ(entries[7].offset, end_of_commit);
    for (size_t i = 1; i < 14; ++i) {
        if (i == 7) continue;
        EXPECT_EQ(entries[i].offset, entries[i - 1].offset + entries[i - 1].compressed_size) << i;
    }
    EXPECT_EQ(file_size(path), entries[13].offset + entries[13].compressed_size);
}

TEST(AtomDatabaseTest, SchemaInfoListsBuiltinSectionsFirstThenCustomOnesByKey) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    write_committed(path, sample_molecules(2));
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, false, false));
    const auto info = db.schema_info();
    ASSERT_TRUE(info.has_value());
    std::vector<std::pair<int, std::string>> keys;
    for (const auto& s : info->sections) keys.emplace_back(s.kind, s.key);
    EXPECT_EQ(keys, (std::vector<std::pair<int, std::string>>{{0, "cell"},
                                                              {0, "energy"},
                                                              {0, "forces"},
                                                              {0, "pbc"},
                                                              {1, "spin"},
                                                              {2, "label"},
                                                              {2, "temperature"}}));
    EXPECT_EQ(info->positions_type, dtypes::kTagVec3F32);
    const DatabaseSchemaSection forces{0, "forces", dtypes::kTagVec3F32, true, 12, 12};
    EXPECT_EQ(info->sections[2], forces);
}

// A file whose commit names an index but no schema lock: the first append derives the lock
// from the stored records and checks the new ones against it.
TEST(AtomDatabaseTest, MissingSchemaLockIsRebuiltFromTheStoredRecords) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    const auto molecules = sample_molecules(4);
    schema::SchemaLock lock;
    {
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, 1, 0));
        ASSERT_OK(db.add_molecules(pointers(molecules)));
        ASSERT_OK(db.flush());
        lock = *db.schema_lock();
    }
    auto h = slot_header(path, 1);
    ASSERT_TRUE(h.has_value());
    h->generation = 2;
    h->schema_offset = 0;
    h->schema_len = 0;
    write_slot(path, 0, *h);

    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, false, false));
    EXPECT_EQ(db.generation(), 2u);
    EXPECT_FALSE(db.schema_lock().has_value());
    ASSERT_OK_AND_ASSIGN(auto rebuilt, db.rebuild_schema_lock());
    EXPECT_EQ(rebuilt, lock);

    Molecule clash = sample_molecule(2, 9);
    clash.properties.insert_or_assign("temperature", std::string("hot"));
    EXPECT_EQ(error_of(db.add_molecule(clash))
                  .rfind("Invalid data: Schema mismatch for section 'temperature'", 0),
              0u);
    EXPECT_FALSE(db.schema_lock().has_value());
    ASSERT_OK(db.add_molecule(sample_molecule(2, 9)));
    EXPECT_EQ(db.schema_lock(), lock);
    EXPECT_EQ(db.len(), 5u);
}

TEST(AtomDatabaseTest, FlushesAlternateSlotsAndAppendFreshBlobs) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, 0, 0));
    const std::string slot0 = read_whole_file(path).substr(0, 4096);

    ASSERT_OK(db.flush());
    EXPECT_EQ(file_size(path), kDataStart + 8);
    EXPECT_EQ(read_whole_file(path).substr(0, 4096), slot0);
    auto h1 = slot_header(path, 1);
    ASSERT_TRUE(h1.has_value());
    EXPECT_EQ(h1->generation, 1u);
    EXPECT_EQ(h1->index_offset, kDataStart);
    EXPECT_EQ(h1->index_len, 8u);
    EXPECT_EQ(h1->count, 0u);
    EXPECT_EQ(h1->schema_offset, 0u);
    EXPECT_EQ(h1->schema_len, 0u);
    {
        ASSERT_OK_AND_ASSIGN(auto reopened, AtomDatabase::open_with_options(path, false, false));
        EXPECT_EQ(reopened.generation(), 1u);
        EXPECT_EQ(reopened.len(), 0u);
        EXPECT_FALSE(reopened.tail_dirty());
    }

    ASSERT_OK(db.add_molecules(pointers(sample_molecules(3))));
    ASSERT_OK(db.flush());
    auto h2 = slot_header(path, 0);
    ASSERT_TRUE(h2.has_value());
    EXPECT_EQ(h2->generation, 2u);
    EXPECT_EQ(h2->count, 3u);
    EXPECT_NE(h2->schema_offset, 0u);
    EXPECT_EQ(h2->schema_offset + h2->schema_len, h2->index_offset);
    EXPECT_EQ(h2->index_offset + h2->index_len, file_size(path));
    EXPECT_EQ(db.committed_end(), file_size(path));
    EXPECT_EQ(slot_header(path, 1), h1);

    // Nothing new: the same blobs are written again after the old ones.
    ASSERT_OK(db.flush());
    auto h3 = slot_header(path, 1);
    ASSERT_TRUE(h3.has_value());
    EXPECT_EQ(h3->generation, 3u);
    EXPECT_EQ(h3->schema_offset, h2->index_offset + h2->index_len);
    EXPECT_EQ(h3->schema_len, h2->schema_len);
    EXPECT_EQ(h3->index_len, h2->index_len);
    EXPECT_EQ(file_size(path), h3->index_offset + h3->index_len);
    EXPECT_EQ(db.generation(), 3u);
}

// Created, appended to and dropped without a commit: the records are past the commit end.
void write_uncommitted(const std::string& path, size_t count) {
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, 2, 3));
    ASSERT_OK(db.add_molecules(pointers(sample_molecules(count))));
}

TEST(AtomDatabaseTest, MappedOpenOfAnUncommittedFileAcceptsAppendsAfterTheOldBytes) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    write_uncommitted(path, 2);
    const uint64_t old_size = file_size(path);
    ASSERT_GT(old_size, kDataStart);

    const auto molecules = sample_molecules(2, 20);
    {
        ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, true, true));
        EXPECT_EQ(db.len(), 0u);
        EXPECT_FALSE(db.tail_dirty());
        EXPECT_FALSE(db.index().is_mapped());
        ASSERT_OK(db.add_molecules(pointers(molecules)));
        EXPECT_EQ(db.index().owned_entries()[0].offset, old_size);
        // New records lie past the map: no slice, but the bulk read finds them in the file.
        EXPECT_FALSE(db.get_compressed_slice(0).has_value());
        EXPECT_FALSE(db.get_shared_mmap_bytes(1).has_value());
        EXPECT_EQ(read_all(db), serialized(molecules, 2));
        ASSERT_OK(db.flush());
    }
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, true, false));
    EXPECT_TRUE(db.index().is_mapped());
    EXPECT_EQ(read_all(db), serialized(molecules, 2));
}

TEST(AtomDatabaseTest, TailPastTheCommitIsCutByTheFirstAppendOrFlush) {
    const auto molecules = sample_molecules(2, 30);
    for (bool by_append : {true, false}) {
        for (bool committed_before : {false, true}) {
            SCOPED_TRACE(std::string(by_append ? "append" : "flush") +
                         (committed_before ? " after a commit" : " on a fresh file"));
            ScratchDir dir;
            const std::string path = dir.file("db");
            if (committed_before) {
                write_committed(path, sample_molecules(3), 2);
                append_garbage(path, 100);
            } else {
                write_uncommitted(path, 3);
            }
            ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, false, false));
            const uint64_t end = db.committed_end();
            EXPECT_EQ(end, committed_before ? file_size(path) - 100 : kDataStart);
            EXPECT_TRUE(db.tail_dirty());
            if (by_append) {
                ASSERT_OK(db.add_molecules(pointers(molecules)));
                EXPECT_EQ(db.index().owned_entries()[db.len() - 2].offset, end);
            } else {
                ASSERT_OK(db.flush());
                const auto h = slot_header(path, db.generation() % 2);
                ASSERT_TRUE(h.has_value());
                EXPECT_EQ(h->schema_offset != 0 ? h->schema_offset : h->index_offset, end);
                EXPECT_EQ(file_size(path), h->index_offset + h->index_len);
            }
            EXPECT_FALSE(db.tail_dirty());
        }
    }
}

TEST(AtomDatabaseTest, TailCutAfterSomeoneElseShortenedTheFileOnlyClearsTheFlag) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    write_uncommitted(path, 2);
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::open_with_options(path, false, false));
    ASSERT_TRUE(db.tail_dirty());
    std::filesystem::resize_file(path, kDataStart);
    ASSERT_OK(db.truncate_uncommitted_tail_if_needed());
    EXPECT_FALSE(db.tail_dirty());
    EXPECT_EQ(file_size(path), kDataStart);
}

TEST(AtomDatabaseTest, ReadsFromSeveralThreadsAtOnceAgree) {
    ScratchDir dir;
    const std::string path = dir.file("db");
    const auto molecules = sample_molecules(24);
    write_committed(path, molecules, CompressionType::Zstd);
    const auto expected = serialized(molecules, 2);
    for (bool mmap : {false, true}) {
        SCOPED_TRACE(mmap ? "mmap" : "file");
        ASSERT_OK_AND_ASSIGN(const auto db, AtomDatabase::open_with_options(path, mmap, false));
        std::vector<std::thread> threads;
        std::vector<int> mismatches(6, 0);
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 random(t);
                for (int round = 0; round < 30; ++round) {
                    std::vector<size_t> positions(1 + random() % 12);
                    for (size_t& p : positions) p = random() % expected.size();
                    auto records = db.get_raw_bytes(positions);
                    if (!records.ok()) {
                        ++mismatches[t];
                        continue;
                    }
                    for (size_t i = 0; i < positions.size(); ++i) {
                        if (records.value()[i] != expected[positions[i]]) ++mismatches[t];
                    }
                }
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(mismatches, std::vector<int>(6, 0));
    }
}

// The worker pool serves every database of the process: appends that compress on it and reads
// that decompress on it, from several threads at once, each on a database of its own, and shares
// of mapped records dropped on threads other than the one that took them.
TEST(AtomDatabaseTest, AppendsAndReadsOfDifferentDatabasesShareThePoolFromSeveralThreads) {
    ScratchDir dir;
    const auto molecules = sample_molecules(40);
    const auto expected = serialized(molecules, 2);
    const std::string read_path = dir.file("read");
    write_committed(read_path, molecules, CompressionType::Lz4);
    ASSERT_OK_AND_ASSIGN(auto opened, AtomDatabase::open_with_options(read_path, true, false));
    std::optional<AtomDatabase> database(std::move(opened));
    const AtomDatabase& mapped = *database;
    const std::vector<size_t> all = all_positions(mapped);

    std::vector<std::string> failures(6);
    std::vector<std::optional<SharedMmapBytes>> shares(3);
    std::vector<std::thread> threads;
    for (uint32_t kind : {0u, 1u, 2u}) {
        threads.emplace_back([&, kind] {
            auto db = AtomDatabase::create_with_format(dir.file(std::to_string(kind)), kind, 3);
            for (int round = 0; db.ok() && round < 3; ++round) {
                const Status added = db.value().add_molecules(pointers(molecules));
                if (!added.ok() || !db.value().flush().ok()) failures[kind] = "append or flush";
            }
            auto back = db.ok() ? db.value().get_raw_bytes(all)
                                : Result<std::vector<Bytes>>(Error::io("create failed"));
            if (!back.ok() || back.value() != expected) failures[kind] = "read back";
        });
    }
    for (size_t t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 10; ++round) {
                auto records = mapped.read_decompress_parallel(all);
                if (!records.ok() || records.value().records != expected) {
                    failures[3 + t] = "parallel read";
                }
            }
            shares[t] = mapped.get_shared_mmap_bytes(t);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<std::string>(6));
    // The database goes first; each share is then dropped on a thread of its own, while the
    // others still read through theirs.
    database.reset();
    threads.clear();
    for (size_t t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            ASSERT_TRUE(shares[t].has_value());
            auto record = compression::decompress(shares[t]->as_slice(), {CompressionType::Lz4, 0},
                                                  expected[t].size());
            EXPECT_TRUE(record.ok() && record.value() == expected[t]);
            shares[t].reset();
        });
    }
    for (auto& thread : threads) thread.join();
}

// An index entry holds sizes in 32 bits; a larger record is refused before any of its call is
// written. The oversized record is never touched, so reserved address space stands in for it.
TEST(AtomDatabaseTest, RecordOf4GiBIsRefusedBeforeAnyRecordOfTheCallIsWritten) {
    constexpr size_t kHuge = size_t{1} << 32;
    void* reserved =
        ::mmap(nullptr, kHuge, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
    ScratchDir dir;
    const std::string path = dir.file("db");
    ASSERT_OK_AND_ASSIGN(auto db, AtomDatabase::create_with_format(path, 0, 0));
    ASSERT_OK(db.add_molecule(sample_molecule(2, 1)));
    const DatabaseSchema schema = *db.schema_info();
    const uint64_t size = file_size(path);
    const Bytes small = serialized({sample_molecule(2, 2)}, 2)[0];
    const BorrowedRecord records[] = {{small, 2},
                                      {{static_cast<const uint8_t*>(reserved), kHuge}, 2}};
    const auto status = db.add_raw_soa_records_with_schema(records, schema);
    ::munmap(reserved, kHuge);
    EXPECT_EQ(error_of(status),
              "Invalid data: Record of 4294967296 bytes exceeds the index limit of 4294967295 "
              "bytes");
    EXPECT_EQ(file_size(path), size);
    EXPECT_EQ(db.len(), 1u);
}

}  // namespace
}  // namespace kestrove::storage
