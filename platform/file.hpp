// POSIX file handles with interrupted-call retry, exact reads and writes, and durability syncs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/os_error.hpp"

namespace kestrove::platform {

// Which file a handle has open: its device and inode numbers. While a handle on a file is open,
// no other file can take its numbers.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    bool operator==(const FileIdentity&) const = default;
};

// What fstat() says of an open file.
struct FileStatus {
    FileIdentity identity;
    std::uint64_t length = 0;
    bool regular = false;  // a regular file, not a directory, device, FIFO or socket
};

enum class Access : std::uint8_t;
struct OpenedFile;
struct NewFile;

// An owned file descriptor, opened close-on-exec by open_existing() or create_new(); a File made
// by default holds none. Every call retries when interrupted by a signal. Dropping a File closes
// it and ignores the result; call close() to see it.
class File {
public:
    File() noexcept = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Fills buf[0, len) from the file at `offset`, leaving the file position alone. End of file
    // before the buffer is full fails with short_read_error(); buf's contents are then unspecified.
    [[nodiscard]] Status read_exact_at(std::uint64_t offset, void* buf, std::size_t len) const;
    // Fills buf[0, len) from the current position and advances it.
    [[nodiscard]] Status read_exact(void* buf, std::size_t len);
    // Writes all of buf[0, len) at the current position (the end, on an append handle).
    [[nodiscard]] Status write_all(const void* buf, std::size_t len);
    // Writes every piece in order, back to back, at the current position, with as few system
    // calls as the OS allows (one per IOV_MAX pieces when nothing is cut short).
    [[nodiscard]] Status write_all_gather(std::span<const std::span<const std::uint8_t>> pieces);
    // Writes all of buf[0, len) at `offset`, leaving the file position alone. Needs a handle
    // opened without O_APPEND: Linux ignores the offset on an append handle.
    [[nodiscard]] Status write_all_at(std::uint64_t offset, const void* buf, std::size_t len);

    // The file's length (fstat).
    [[nodiscard]] Result<std::uint64_t> size() const;
    // The file's identity, length and type (fstat).
    [[nodiscard]] Result<FileStatus> status() const;
    // Moves the position to `offset` from the start; returns the new position.
    [[nodiscard]] Result<std::uint64_t> seek_to(std::uint64_t offset);
    // Moves the position to the end of the file; returns that offset.
    [[nodiscard]] Result<std::uint64_t> seek_end();
    // Cuts or extends the file to `length` bytes; the position is not moved.
    [[nodiscard]] Status truncate(std::uint64_t length);

    // Makes the file's data (and the metadata needed to read it back) durable: fdatasync.
    [[nodiscard]] Status sync_data() const;
    // Makes the file's data and all its metadata durable: fsync.
    [[nodiscard]] Status sync_all() const;

    // Closes the descriptor and reports the OS's verdict. The handle is closed afterwards
    // whatever the result; closing a closed handle succeeds.
    [[nodiscard]] Status close();

    [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }
    [[nodiscard]] int fd() const noexcept { return fd_; }

private:
    friend Result<OpenedFile> open_existing(const std::string& path, Access access);
    friend Result<NewFile> create_new(const std::string& path);

    explicit File(int fd) noexcept : fd_(fd) {}
    [[nodiscard]] static Result<File> open_with(const std::string& path, int flags);
    [[nodiscard]] static Result<File> open_after_lease_break(const std::string& path, int flags,
                                                             Error lease_error);

    int fd_ = -1;
};

// How open_existing() opens a file: read-only, write-only, write-only with every write going to
// the current end (O_APPEND), or for reading and writing.
enum class Access : std::uint8_t { kRead, kWrite, kAppend, kReadWrite };

// A file that open_existing() opened, with what fstat() said of it right after the open.
struct OpenedFile {
    File file;
    FileStatus status;
};

// Opens the existing file at `path` without ever waiting for a FIFO's peer, and refuses at once
// what cannot serve as a file of data: a FIFO or socket with not_a_regular_file_error(path), a
// directory with EISDIR, as reading or writing it would. Opening a FIFO waits for a peer to open
// its other end, and reading it waits for that peer to write, so such a file is never used.
// Devices are opened and fail as they are used (they hold no database). A regular file that
// another process holds a conflicting lease on (an oplock or delegation of a file server) is
// waited for as a plain open waits: until the lease is broken. Without /proc, which that wait
// needs, such an open fails with the lease's own EWOULDBLOCK (EAGAIN). The handle keeps
// O_NONBLOCK, which reads and writes of regular files ignore, unless the open had to wait for
// such a break.
[[nodiscard]] Result<OpenedFile> open_existing(const std::string& path, Access access);

// `path` names something that is neither a regular file nor a directory ("'<path>' is not a
// regular file").
[[nodiscard]] Error not_a_regular_file_error(const std::string& path);

// A file that create_new() made: its handle, and the path of the file itself, which is the target
// of a symbolic link when the path given was one.
struct NewFile {
    File file;
    std::string path;
};

// Makes a new file exclusively (O_RDWR | O_CREAT | O_EXCL, mode 0666 before the umask): never
// opens a file that is already there. Fails with EEXIST when anything is at `path`, except a
// symbolic link to nothing yet: the link is followed, as far as the kernel would follow it, and
// the file is made at its end.
[[nodiscard]] Result<NewFile> create_new(const std::string& path);

// `path` made absolute against the current directory, so that it keeps naming the same file
// after the process changes directory. An absolute path is returned as it is; nothing is
// resolved (symbolic links, "..") and the file need not exist.
[[nodiscard]] Result<std::string> absolute_path(const std::string& path);

// Syncs the directory that holds `path`, so that a file just created there survives a crash.
// A path without a directory part names a file in the current directory.
[[nodiscard]] Status sync_directory_of(const std::string& path);

// What remove_file_for_replacement() did with the file at a path.
enum class Replacement : std::uint8_t {
    kPathFree,  // nothing is at the path any more: a new file can be made there
    kInPlace,   // a regular file whose entry cannot be removed: replace its contents in place
};

// Removes the regular file that `path` names (following symbolic links) so that a file created
// at `path` afterwards is a new file: handles and memory maps of the old one keep its contents.
// Nothing at all (also a file gone since) needs no removing. Anything but a regular file is left
// alone and refused as open_existing() refuses it: a directory with EISDIR, anything else with
// not_a_regular_file_error(path). A file the caller could not open for writing is refused with
// the error of that open and left alone. A file whose directory entry cannot be removed (no
// permission on the directory, a busy mount point) is left in place too, as kInPlace.
[[nodiscard]] Result<Replacement> remove_file_for_replacement(const std::string& path);

// Removes the directory entry `path` when it still names the file that `file` has open, so that
// a creation that failed leaves nothing behind; an entry that names another file by now is left
// alone. Best effort: a failure changes nothing and is not reported.
void remove_if_still_named(const File& file, const std::string& path);

// Whether `path` names something that stat() can see; any error counts as "no".
[[nodiscard]] bool path_exists(const std::string& path);

// --- Extra methods (for testing) that are not part of the platform's interface ---

// Runs `hook` once, on the thread of the next File::size() call, after that call has read the
// length and before it returns it, so that a test can change a file between a length query and
// what its caller does next. Replaces a hook that has not run yet; an empty hook disarms.
void run_after_next_size_query_for_testing(std::function<void()> hook);

// Runs `hook` once, inside the next remove_file_for_replacement(), after it has found a regular
// file at the path and before it opens it, so that a test can remove the file in between. As
// above, replaces a hook that has not run yet; an empty hook disarms.
void run_before_next_replacement_open_for_testing(std::function<void()> hook);

// Runs `hook` once, inside the next remove_file_for_replacement() that removes a file, right
// after the removal, so that a test can make another file at the path before the caller creates
// its own. As above, replaces a hook that has not run yet; an empty hook disarms.
void run_after_next_replacement_removal_for_testing(std::function<void()> hook);

}  // namespace kestrove::platform
