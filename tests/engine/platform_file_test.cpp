// Tests of the POSIX file layer: error texts, exact reads and writes, flags, syncs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/file.hpp"
#include "platform/os_error.hpp"
#include "tests/engine/platform_test_util.hpp"

namespace kestrove::platform {
namespace {

using testing::handle_of;
using testing::read_whole_file;
using testing::ScratchDir;
using testing::write_whole_file;

TEST(OsErrorTest, TextHasStrerrorThenOsErrorCode) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {ENOENT, "No such file or directory (os error 2)"},
        {EACCES, "Permission denied (os error 13)"},
        {EEXIST, "File exists (os error 17)"},
        {ENOSPC, "No space left on device (os error 28)"},
        {9999, "Unknown error 9999 (os error 9999)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(os_error_text(c.code), c.text);
        const Error error = os_error(c.code);
        EXPECT_EQ(error.os_code(), c.code);
        EXPECT_EQ(error.message(), c.text);
    }
    EXPECT_EQ(short_read_error().message(), "failed to fill whole buffer");
    EXPECT_EQ(short_write_error().message(), "failed to write whole buffer");
}

TEST(FileTest, OpenFailuresReportTheOsError) {
    ScratchDir dir;
    const std::string existing = dir.file("existing");
    const std::string missing = dir.file("missing");
    write_whole_file(existing, "x");
    const std::string with_nul = existing + std::string(1, '\0') + "tail";
    const struct {
        const char* name;
        std::function<Result<File>()> open;
        int code;
        std::string text;
    } cases[] = {
        {"read missing", [&] { return handle_of(open_existing(missing, Access::kRead)); }, ENOENT,
         "No such file or directory (os error 2)"},
        {"write missing", [&] { return handle_of(open_existing(missing, Access::kWrite)); }, ENOENT,
         "No such file or directory (os error 2)"},
        {"append missing", [&] { return handle_of(open_existing(missing, Access::kAppend)); },
         ENOENT, "No such file or directory (os error 2)"},
        {"new existing", [&] { return handle_of(create_new(existing)); }, EEXIST,
         "File exists (os error 17)"},
        {"write directory", [&] { return handle_of(open_existing(dir.path(), Access::kWrite)); },
         EISDIR, "Is a directory (os error 21)"},
        {"new in missing dir", [&] { return handle_of(create_new(missing + "/f")); }, ENOENT,
         "No such file or directory (os error 2)"},
        {"NUL in path", [&] { return handle_of(open_existing(with_nul, Access::kRead)); }, 0,
         "file name contained an unexpected NUL byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto opened = c.open();
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error().os_code(), c.code);
        EXPECT_EQ(opened.error().message(), c.text);
    }
    EXPECT_EQ(read_whole_file(existing), "x");  // the failed creation left it alone
}

TEST(FileTest, EveryOpenerSetsCloseOnExec) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, "abc");
    const struct {
        const char* name;
        std::function<Result<File>()> open;
    } cases[] = {
        {"read", [&] { return handle_of(open_existing(path, Access::kRead)); }},
        {"write", [&] { return handle_of(open_existing(path, Access::kWrite)); }},
        {"append", [&] { return handle_of(open_existing(path, Access::kAppend)); }},
        {"new", [&] { return handle_of(create_new(dir.file("new"))); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto opened = c.open();
        ASSERT_TRUE(opened.ok()) << opened.error().message();
        const int flags = ::fcntl(opened.value().fd(), F_GETFD);
        ASSERT_GE(flags, 0);
        EXPECT_NE(flags & FD_CLOEXEC, 0);
    }
}

TEST(FileTest, CreatedFilesGetMode0666LessUmask) {
    ScratchDir dir;
    const struct {
        mode_t umask_value;
        mode_t expected;
    } cases[] = {{0, 0666}, {022, 0644}, {077, 0600}};
    int n = 0;
    for (const auto& c : cases) {
        const mode_t previous = ::umask(c.umask_value);
        const std::string path = dir.file("f" + std::to_string(n++));
        const bool created = create_new(path).ok();
        ::umask(previous);
        ASSERT_TRUE(created);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.expected) << path;
    }
}

TEST(FileTest, ReadExactAtFailsOnlyWhenTheFileEndsFirst) {
    ScratchDir dir;
    const std::string path = dir.file("ten");
    write_whole_file(path, "0123456789");
    auto file = handle_of(open_existing(path, Access::kRead));
    ASSERT_TRUE(file.ok());
    const struct {
        std::uint64_t offset;
        std::size_t len;
        const char* expected;  // null: a short read
    } cases[] = {
        {0, 10, "0123456789"}, {3, 4, "3456"},  {9, 1, "9"},      {10, 0, ""},
        {0, 11, nullptr},      {5, 6, nullptr}, {10, 1, nullptr}, {1000, 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.offset << "+" << c.len);
        std::string buf(c.len, '?');
        const Status status = file.value().read_exact_at(c.offset, buf.data(), c.len);
        if (c.expected == nullptr) {
            ASSERT_FALSE(status.ok());
            EXPECT_EQ(status.error().os_code(), 0);
            EXPECT_EQ(status.error().message(), "failed to fill whole buffer");
        } else {
            ASSERT_TRUE(status.ok()) << status.error().message();
            EXPECT_EQ(buf, c.expected);
        }
    }
}

TEST(FileTest, SequentialReadsAdvanceAndPositionalReadsDoNot) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, "abcdefgh");
    auto opened = handle_of(open_existing(path, Access::kRead));
    ASSERT_TRUE(opened.ok());
    File& file = opened.value();
    char buf[4] = {};
    ASSERT_TRUE(file.read_exact(buf, 3).ok());
    EXPECT_EQ(std::string(buf, 3), "abc");
    ASSERT_TRUE(file.read_exact_at(6, buf, 2).ok());
    EXPECT_EQ(std::string(buf, 2), "gh");
    ASSERT_TRUE(file.read_exact(buf, 3).ok());  // continues after "abc"
    EXPECT_EQ(std::string(buf, 3), "def");
    ASSERT_TRUE(file.seek_to(1).ok());
    ASSERT_TRUE(file.read_exact(buf, 1).ok());
    EXPECT_EQ(buf[0], 'b');
    ASSERT_TRUE(file.seek_to(6).ok());
    const Status past_end = file.read_exact(buf, 3);
    ASSERT_FALSE(past_end.ok());
    EXPECT_EQ(past_end.error().message(), "failed to fill whole buffer");
}

TEST(FileTest, PositionalWritesLandWhereAskedAndAppendsAtTheEnd) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    {
        auto file = handle_of(create_new(path));
        ASSERT_TRUE(file.ok());
        ASSERT_TRUE(file.value().write_all("hello", 5).ok());
        ASSERT_TRUE(file.value().write_all_at(0, "J", 1).ok());
        ASSERT_TRUE(file.value().write_all(" world", 6).ok());  // position is still 5
    }
    {
        auto file = handle_of(open_existing(path, Access::kAppend));
        ASSERT_TRUE(file.ok());
        ASSERT_TRUE(file.value().write_all("!", 1).ok());
    }
    {
        auto file = handle_of(open_existing(path, Access::kWrite));
        ASSERT_TRUE(file.ok());
        ASSERT_TRUE(file.value().write_all_at(14, "?", 1).ok());  // past the end: a zero gap
        ASSERT_TRUE(file.value().write_all_at(0, "Y", 1).ok());
    }
    EXPECT_EQ(read_whole_file(path), std::string("Yello world!\0\0?", 15));
}

TEST(FileTest, SeekEndSizeAndTruncateAgree) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, std::string(8192, 'a'));
    auto opened = handle_of(open_existing(path, Access::kWrite));
    ASSERT_TRUE(opened.ok());
    File& file = opened.value();
    for (const std::uint64_t length : {8192u, 9000u, 100u, 0u, 4096u}) {
        SCOPED_TRACE(length);
        ASSERT_TRUE(file.truncate(length).ok());
        auto size = file.size();
        auto end = file.seek_end();
        ASSERT_TRUE(size.ok() && end.ok());
        EXPECT_EQ(size.value(), length);
        EXPECT_EQ(end.value(), length);
    }
    ASSERT_TRUE(file.write_all("z", 1).ok());  // written at the end the last seek found
    EXPECT_EQ(read_whole_file(path).size(), 4097u);
}

TEST(FileTest, ClosedHandleReportsBadDescriptor) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, "abc");
    auto opened = handle_of(open_existing(path, Access::kRead));
    ASSERT_TRUE(opened.ok());
    File file = std::move(opened.value());
    EXPECT_FALSE(opened.value().is_open());
    ASSERT_TRUE(file.close().ok());
    EXPECT_FALSE(file.is_open());
    EXPECT_TRUE(file.close().ok());  // closing twice is harmless

    char buf[1];
    const Status read = file.read_exact_at(0, buf, 1);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().message(), "Bad file descriptor (os error 9)");
    EXPECT_FALSE(file.sync_data().ok());
}

TEST(FileTest, DroppingOrReassigningAHandleClosesItsDescriptor) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, "abc");
    int first_fd;
    int second_fd;
    {
        auto first = handle_of(open_existing(path, Access::kRead));
        auto second = handle_of(open_existing(path, Access::kRead));
        ASSERT_TRUE(first.ok() && second.ok());
        first_fd = first.value().fd();
        second_fd = second.value().fd();
        File keeper = std::move(first.value());
        keeper = std::move(second.value());  // closes first_fd
        EXPECT_EQ(::fcntl(first_fd, F_GETFD), -1);
        EXPECT_GE(::fcntl(second_fd, F_GETFD), 0);
    }
    EXPECT_EQ(::fcntl(second_fd, F_GETFD), -1);
}

TEST(FileTest, WriteErrorsReportTheOsError) {
    auto full = handle_of(open_existing("/dev/full", Access::kAppend));
    if (!full.ok()) GTEST_SKIP() << "/dev/full: " << full.error().message();
    const std::string block(4096, 'x');
    const Status status = full.value().write_all(block.data(), block.size());
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().os_code(), ENOSPC);
    EXPECT_EQ(status.error().message(), "No space left on device (os error 28)");
}

TEST(FileTest, SyncsSucceedOnFilesAndTheirDirectories) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    auto file = handle_of(create_new(path));
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(file.value().write_all("data", 4).ok());
    EXPECT_TRUE(file.value().sync_data().ok());
    EXPECT_TRUE(file.value().sync_all().ok());

    const struct {
        std::string path;
        int code;  // 0: success
    } cases[] = {
        {path, 0},
        {dir.path() + "/", 0},            // names the scratch directory itself
        {"bare-name-in-cwd", 0},          // the current directory
        {"/top-level-file", 0},           // the root directory
        {dir.file("missing/f"), ENOENT},  // the directory does not exist
        {path + "/below-a-file", ENOTDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Status status = sync_directory_of(c.path);
        if (c.code == 0) {
            EXPECT_TRUE(status.ok()) << status.error().message();
        } else {
            ASSERT_FALSE(status.ok());
            EXPECT_EQ(status.error().os_code(), c.code);
        }
    }
}

TEST(FileTest, PathExistsSeesFilesAndDirectoriesOnly) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, "");
    EXPECT_TRUE(path_exists(path));
    EXPECT_TRUE(path_exists(dir.path()));
    EXPECT_FALSE(path_exists(dir.file("missing")));
    EXPECT_FALSE(path_exists(path + "/below-a-file"));
    EXPECT_FALSE(path_exists(path + std::string(1, '\0')));
}

// A file that another process removes while it is being replaced needs no replacing: the
// replacement succeeds, and the creation after it can go on.
TEST(FileTest, ReplacingAFileRemovedMeanwhileSucceeds) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, "old");
    run_before_next_replacement_open_for_testing([&] { ASSERT_EQ(::unlink(path.c_str()), 0); });
    const auto removed = remove_file_for_replacement(path);
    ASSERT_TRUE(removed.ok()) << removed.error().display();
    EXPECT_EQ(removed.value(), Replacement::kPathFree);
    EXPECT_FALSE(path_exists(path));
}

// Counts SIGUSR1 while alive, through a handler installed without SA_RESTART so that a blocking
// system call the signal interrupts fails with EINTR.
struct SignalCounter {
    static inline std::atomic<int> count{0};
    struct sigaction previous = {};
    SignalCounter() {
        count = 0;
        struct sigaction action = {};
        action.sa_handler = [](int) { count.fetch_add(1); };
        sigemptyset(&action.sa_mask);
        EXPECT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    }
    ~SignalCounter() { ::sigaction(SIGUSR1, &previous, nullptr); }
};

// A handle opened as the database opens a file (on /dev/null) that then holds `fd` instead: the
// same descriptor number, now naming what `fd` named. `fd` itself is closed. The tests of
// interrupted calls need a pipe behind a File: only a pipe, a FIFO or a terminal makes a read or
// write wait where a signal can interrupt it, and open_existing() refuses FIFOs.
Result<File> handle_taking_over(int fd, Access access) {
    auto file = handle_of(open_existing("/dev/null", access));
    if (file.ok() && ::dup3(fd, file.value().fd(), O_CLOEXEC) < 0) file = last_os_error();
    ::close(fd);
    return file;
}

// A signal that interrupts a blocking read must not surface as an error: the read is retried
// until the data arrives, also when it arrives in pieces.
TEST(FileTest, InterruptedReadsAreRetried) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    auto file = handle_taking_over(ends[0], Access::kRead);
    ASSERT_TRUE(file.ok()) << file.error().message();

    SignalCounter interrupts;

    const pthread_t reader = ::pthread_self();
    std::thread writer([&, fd = ends[1]] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::pthread_kill(reader, SIGUSR1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)!::write(fd, "ab", 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)!::write(fd, "cd", 2);
        ::close(fd);
    });
    char buf[4] = {};
    const Status status = file.value().read_exact(buf, 4);
    writer.join();

    ASSERT_TRUE(status.ok()) << status.error().message();
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_GT(interrupts.count.load(), 0);
}

TEST(FileTest, GatherWriteKeepsPiecesInOrderBeyondOneSystemCall) {
    // More pieces than one writev() takes, empty ones among them, after existing bytes.
    ScratchDir dir;
    const std::string path = dir.file("f");
    write_whole_file(path, "head:");
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i) texts.push_back(i % 7 == 0 ? "" : std::to_string(i) + ",");
    std::vector<std::span<const std::uint8_t>> pieces;
    std::string expected = "head:";
    for (const std::string& t : texts) {
        pieces.emplace_back(reinterpret_cast<const std::uint8_t*>(t.data()), t.size());
        expected += t;
    }
    {
        auto file = handle_of(open_existing(path, Access::kAppend));
        ASSERT_TRUE(file.ok());
        ASSERT_TRUE(file.value().write_all_gather(pieces).ok());
        ASSERT_TRUE(file.value().write_all_gather({}).ok());
    }
    EXPECT_EQ(read_whole_file(path), expected);
}

TEST(FileTest, InterruptedGatherWritesResumeMidPiece) {
    // A slow reader on a pipe and signals at the writer: writev() then returns after part of a
    // batch, often inside a piece, and the rest must follow without a byte lost or repeated.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    auto file = handle_taking_over(ends[1], Access::kAppend);
    ASSERT_TRUE(file.ok()) << file.error().message();

    SignalCounter interrupts;

    std::string expected;
    std::vector<std::string> texts;
    for (int i = 0; i < 2500; ++i) {
        texts.push_back(
            std::string(static_cast<std::size_t>(i % 997), static_cast<char>('a' + i % 26)) +
            std::to_string(i));
        expected += texts.back();
    }
    std::vector<std::span<const std::uint8_t>> pieces;
    for (const std::string& t : texts) {
        pieces.emplace_back(reinterpret_cast<const std::uint8_t*>(t.data()), t.size());
    }

    const pthread_t writer = ::pthread_self();
    std::string received;
    std::thread reader([&, fd = ends[0]] {
        char buf[4096];
        for (int round = 0;; ++round) {
            if (round % 4 == 0) ::pthread_kill(writer, SIGUSR1);
            if (round % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            received.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
    });
    const Status status = file.value().write_all_gather(pieces);
    EXPECT_TRUE(file.value().close().ok());  // the reader's end of file
    reader.join();

    ASSERT_TRUE(status.ok()) << status.error().message();
    EXPECT_GT(interrupts.count.load(), 0);
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

}  // namespace
}  // namespace kestrove::platform
