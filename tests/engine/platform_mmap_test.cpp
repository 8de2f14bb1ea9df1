// Tests of whole-file read-only memory maps and the lifetime of their shares.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/file.hpp"
#include "platform/mmap.hpp"
#include "tests/engine/platform_test_util.hpp"

namespace kestrove::platform {
namespace {

using testing::handle_of;
using testing::ScratchDir;
using testing::write_whole_file;

std::string region_text(const MappedFile& region) {
    return std::string(reinterpret_cast<const char*>(region.data()), region.size());
}

TEST(MappedFileTest, MapOutlivesTheFileAndSharesOutliveEachOther) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    std::string contents(10000, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7);
    write_whole_file(path, contents);

    std::shared_ptr<const MappedFile> first;
    {
        auto file = handle_of(open_existing(path, Access::kRead));
        ASSERT_TRUE(file.ok());
        auto mapped = MappedFile::map(file.value());
        ASSERT_TRUE(mapped.ok()) << mapped.error().message();
        first = std::move(mapped.value());
        ASSERT_TRUE(file.value().close().ok());
    }
    ASSERT_EQ(first->size(), contents.size());
    EXPECT_EQ(region_text(*first), contents);

    // The last share is dropped on another thread after the original is gone.
    std::shared_ptr<const MappedFile> second = first;
    first.reset();
    std::string seen;
    std::thread reader([share = std::move(second), &seen]() mutable {
        seen = region_text(*share);
        share.reset();
    });
    reader.join();
    EXPECT_EQ(seen, contents);
}

TEST(MappedFileTest, MapCoversTheLengthAtMappingTime) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, "abc");
    auto reader = handle_of(open_existing(path, Access::kRead));
    auto writer = handle_of(open_existing(path, Access::kWrite));
    ASSERT_TRUE(reader.ok() && writer.ok());
    auto before = MappedFile::map(reader.value());
    ASSERT_TRUE(before.ok());
    ASSERT_TRUE(writer.value().write_all_at(3, "defg", 4).ok());
    ASSERT_TRUE(writer.value().write_all_at(0, "A", 1).ok());
    auto after = MappedFile::map(reader.value());
    ASSERT_TRUE(after.ok());

    EXPECT_EQ(region_text(*before.value()), "Abc");  // shared: sees the rewrite, not the growth
    EXPECT_EQ(region_text(*after.value()), "Abcdefg");
    EXPECT_EQ(before.value()->bytes().size(), 3u);
}

TEST(MappedFileTest, EmptyFileMapsToZeroLengthRegion) {
    ScratchDir dir;
    const std::string path = dir.file("empty");
    write_whole_file(path, "");
    auto file = handle_of(open_existing(path, Access::kRead));
    ASSERT_TRUE(file.ok());
    auto mapped = MappedFile::map(file.value());
    ASSERT_TRUE(mapped.ok()) << mapped.error().message();
    EXPECT_EQ(mapped.value()->size(), 0u);
    EXPECT_NE(mapped.value()->data(), nullptr);
    EXPECT_TRUE(mapped.value()->bytes().empty());
}

TEST(MappedFileTest, UnmappableHandlesReportTheOsError) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, "abc");
    auto write_only = handle_of(open_existing(path, Access::kAppend));
    ASSERT_TRUE(write_only.ok());
    File closed;
    const struct {
        const char* name;
        const File& file;
        int code;
        const char* text;
    } cases[] = {
        {"write-only", write_only.value(), EACCES, "Permission denied (os error 13)"},
        {"closed", closed, EBADF, "Bad file descriptor (os error 9)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto mapped = MappedFile::map(c.file);
        ASSERT_FALSE(mapped.ok());
        EXPECT_EQ(mapped.error().os_code(), c.code);
        EXPECT_EQ(mapped.error().message(), c.text);
    }
}

}  // namespace
}  // namespace kestrove::platform
