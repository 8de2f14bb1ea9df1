// POSIX implementation of File and the directory helpers.
#include "platform/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

namespace kestrove::platform {

namespace {

constexpr mode_t kCreateMode = 0666;
// Linux never transfers more than this in one read or write call; asking for it keeps the
// length within ssize_t on every platform.
constexpr std::size_t kMaxIoChunk = 0x7ffff000;

bool holds_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// The directory part of `path` as open() wants it: "." for a bare name, "/" for the root.
std::string parent_directory(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;  // "dir/file/" names the same file
    const std::size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return ".";
    std::size_t parent_end = slash;
    while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
    return parent_end == 0 ? "/" : path.substr(0, parent_end);
}

// A hook that a test arms to run once, on the thread that next reaches its point in the code.
// `armed` lets that code skip the lock when no test has set one.
class OneShotHook {
public:
    void arm(std::function<void()> hook) {
        const std::lock_guard<std::mutex> lock(mutex_);
        armed_.store(static_cast<bool>(hook), std::memory_order_release);
        hook_ = std::move(hook);
    }

    void run_if_armed() {
        if (!armed_.load(std::memory_order_acquire)) [[likely]] return;
        std::function<void()> hook;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            hook = std::exchange(hook_, nullptr);
            armed_.store(false, std::memory_order_relaxed);
        }
        if (hook) hook();
    }

private:
    std::atomic<bool> armed_{false};
    std::mutex mutex_;
    std::function<void()> hook_;
};

OneShotHook after_size_query;
OneShotHook before_replacement_open;
OneShotHook after_replacement_removal;

FileStatus status_of(const struct stat& st) {
    return FileStatus{
        FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)},
        static_cast<std::uint64_t>(st.st_size), S_ISREG(st.st_mode)};
}

// The refusal of a file of type `mode` where a regular file is needed: what reading or writing
// a directory gives, or that the path names no regular file.
Error not_a_file_error(mode_t mode, const std::string& path) {
    return S_ISDIR(mode) ? os_error(EISDIR) : not_a_regular_file_error(path);
}

int sync_fd(int fd, bool data_only) {
    int rc;
    do {
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
        rc = data_only ? ::fdatasync(fd) : ::fsync(fd);
#else
        (void)data_only;
        rc = ::fsync(fd);
#endif
    } while (rc != 0 && errno == EINTR);
    return rc;
}

}  // namespace

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Result<File> File::open_with(const std::string& path, int flags) {
    if (holds_nul(path)) return nul_in_path_error();
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, kCreateMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return last_os_error();
    return File(fd);
}

namespace {

// Moves `len` bytes with `io(pointer, count, offset)` (a read or write system call), retrying
// interrupted calls and continuing after partial ones. A call that moves nothing is `stalled`.
template <class Byte, class Io>
Status transfer_all(Byte* data, std::size_t len, std::uint64_t offset, Io io, Error (*stalled)()) {
    while (len > 0) {
        const ssize_t n = io(data, std::min(len, kMaxIoChunk), static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_os_error();
        }
        if (n == 0) return stalled();
        data += n;
        len -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return {};
}

}  // namespace

Status File::read_exact_at(std::uint64_t offset, void* buf, std::size_t len) const {
    return transfer_all(
        static_cast<unsigned char*>(buf), len, offset,
        [fd = fd_](void* p, std::size_t n, off_t at) { return ::pread(fd, p, n, at); },
        &short_read_error);
}

Status File::read_exact(void* buf, std::size_t len) {
    return transfer_all(
        static_cast<unsigned char*>(buf), len, 0,
        [fd = fd_](void* p, std::size_t n, off_t) { return ::read(fd, p, n); }, &short_read_error);
}

Status File::write_all(const void* buf, std::size_t len) {
    return transfer_all(
        static_cast<const unsigned char*>(buf), len, 0,
        [fd = fd_](const void* p, std::size_t n, off_t) { return ::write(fd, p, n); },
        &short_write_error);
}

Status File::write_all_gather(std::span<const std::span<const std::uint8_t>> pieces) {
    std::vector<iovec> batch;
    batch.reserve(std::min<std::size_t>(pieces.size(), IOV_MAX));
    std::size_t next = 0;  // first piece not yet in a batch
    while (next < pieces.size() || !batch.empty()) {
        while (next < pieces.size() && batch.size() < IOV_MAX) {
            const auto piece = pieces[next++];
            if (!piece.empty()) {
                batch.push_back(iovec{const_cast<std::uint8_t*>(piece.data()), piece.size()});
            }
        }
        if (batch.empty()) break;
        const ssize_t n = ::writev(fd_, batch.data(), static_cast<int>(batch.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_os_error();
        }
        if (n == 0) return short_write_error();
        // Drop what was written; a piece cut short stays at the front, advanced.
        auto left = static_cast<std::size_t>(n);
        std::size_t done = 0;
        while (done < batch.size() && left >= batch[done].iov_len) left -= batch[done++].iov_len;
        batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(done));
        if (left > 0) {
            batch.front().iov_base = static_cast<std::uint8_t*>(batch.front().iov_base) + left;
            batch.front().iov_len -= left;
        }
    }
    return {};
}

Status File::write_all_at(std::uint64_t offset, const void* buf, std::size_t len) {
    return transfer_all(
        static_cast<const unsigned char*>(buf), len, offset,
        [fd = fd_](const void* p, std::size_t n, off_t at) { return ::pwrite(fd, p, n, at); },
        &short_write_error);
}

Result<std::uint64_t> File::size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return last_os_error();
    after_size_query.run_if_armed();
    return static_cast<std::uint64_t>(st.st_size);
}

Result<FileStatus> File::status() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return last_os_error();
    return status_of(st);
}

Result<std::uint64_t> File::seek_to(std::uint64_t offset) {
    const off_t pos = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
    if (pos < 0) return last_os_error();
    return static_cast<std::uint64_t>(pos);
}

Result<std::uint64_t> File::seek_end() {
    const off_t pos = ::lseek(fd_, 0, SEEK_END);
    if (pos < 0) return last_os_error();
    return static_cast<std::uint64_t>(pos);
}

Status File::truncate(std::uint64_t length) {
    int rc;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return last_os_error();
    return {};
}

Status File::sync_data() const {
    if (sync_fd(fd_, true) != 0) return last_os_error();
    return {};
}

Status File::sync_all() const {
    if (sync_fd(fd_, false) != 0) return last_os_error();
    return {};
}

Status File::close() {
    const int fd = std::exchange(fd_, -1);
    if (fd < 0) return {};
    // Not retried on EINTR: Linux has released the descriptor by then, and a retry could close
    // one that another thread has just been given.
    if (::close(fd) != 0) return last_os_error();
    return {};
}

Error not_a_regular_file_error(const std::string& path) {
    return Error::io("'" + path + "' is not a regular file");
}

// Opens the file at `path` with `flags`, waiting for the break of the lease that made an open
// without waiting fail with `lease_error`. The file is the one that a lookup that cannot block
// (O_PATH) finds at the path; it is reopened through that handle once it is known to be a regular
// file, so that a FIFO put at the path meanwhile is refused rather than waited for. Where the
// handle cannot be reopened (no /proc: a minimal container, a mount namespace without it), the
// open fails with `lease_error`, never as if the file were missing.
Result<File> File::open_after_lease_break(const std::string& path, int flags, Error lease_error) {
    KESTROVE_ASSIGN_OR_RETURN(const File found, open_with(path, O_PATH));
    struct stat st;
    if (::fstat(found.fd(), &st) != 0) return last_os_error();
    if (!S_ISREG(st.st_mode)) return not_a_file_error(st.st_mode, path);
    auto reopened = open_with("/proc/self/fd/" + std::to_string(found.fd()), flags);
    if (!reopened.ok() &&
        (reopened.error().os_code() == ENOENT || reopened.error().os_code() == ENOTDIR)) {
        return lease_error;
    }
    return reopened;
}

Result<OpenedFile> open_existing(const std::string& path, Access access) {
    int flags = O_RDONLY;
    if (access == Access::kWrite) flags = O_WRONLY;
    if (access == Access::kAppend) flags = O_WRONLY | O_APPEND;
    if (access == Access::kReadWrite) flags = O_RDWR;
    // Without O_NONBLOCK, opening a FIFO waits for a peer, with signals retried: for ever, with
    // the caller's locks held. On a regular file the flag changes one thing: while another
    // process holds a conflicting lease, the open fails with EWOULDBLOCK instead of waiting for
    // the lease to be broken. A FIFO never fails so (a read-only open succeeds, a write-only one
    // fails with ENXIO), so that failure is met with an open that waits for the break as any
    // other program's open does.
    auto opened = File::open_with(path, flags | O_NONBLOCK);
    if (!opened.ok() && opened.error().os_code() == EWOULDBLOCK) {
        opened = File::open_after_lease_break(path, flags, std::move(opened).error());
    }
    KESTROVE_ASSIGN_OR_RETURN(File file, std::move(opened));
    struct stat st;
    if (::fstat(file.fd(), &st) != 0) return last_os_error();
    if (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        return not_a_file_error(st.st_mode, path);
    }
    return OpenedFile{std::move(file), status_of(st)};
}

Result<std::string> absolute_path(const std::string& path) {
    if (holds_nul(path)) return nul_in_path_error();
    // An empty path names no file; it stays empty so that opening it fails as it would have.
    if (path.empty() || path.front() == '/') return path;
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return last_os_error();
    std::string absolute = cwd;
    std::free(cwd);
    if (absolute.back() != '/') absolute += '/';
    absolute += path;
    return absolute;
}

Result<NewFile> create_new(const std::string& path) {
    // As many links as one path lookup of the kernel follows; a longer chain fails as it would.
    constexpr int kMaxLinkHops = 40;
    std::string target = path;
    for (int hops = 0;; ++hops) {
        auto made = File::open_with(target, O_RDWR | O_CREAT | O_EXCL);
        if (made.ok()) return NewFile{std::move(made).value(), std::move(target)};
        if (made.error().os_code() != EEXIST) return std::move(made).error();
        // O_EXCL follows no symbolic link, not even one to nothing yet. Such a link is followed
        // here one hop at a time; each hop ends in another exclusive creation, so a link changed
        // meanwhile can never make this open a file that exists.
        struct stat st;
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return std::move(made).error();
        }
        if (::stat(target.c_str(), &st) == 0) return std::move(made).error();
        if (errno != ENOENT) return last_os_error();  // a loop of links, a directory not searchable
        if (hops == kMaxLinkHops) return os_error(ELOOP);
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n < 0) return last_os_error();
        if (static_cast<std::size_t>(n) == link.size()) return os_error(ENAMETOOLONG);
        link.resize(static_cast<std::size_t>(n));
        if (link.empty() || link.front() != '/') {
            const std::string directory = parent_directory(target);
            link = (directory == "/" ? directory : directory + "/") + link;
        }
        target = std::move(link);
    }
}

Status sync_directory_of(const std::string& path) {
    if (holds_nul(path)) return nul_in_path_error();
    const std::string directory = parent_directory(path);
    int fd;
    do {
        fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return last_os_error();
    const int rc = sync_fd(fd, false);
    const int sync_errno = errno;
    ::close(fd);
    if (rc != 0) return os_error(sync_errno);
    return {};
}

Result<Replacement> remove_file_for_replacement(const std::string& path) {
    if (holds_nul(path)) return nul_in_path_error();
    char* resolved = ::realpath(path.c_str(), nullptr);
    const std::string target = resolved != nullptr ? resolved : path;
    std::free(resolved);
    struct stat st;
    if (::stat(target.c_str(), &st) != 0) return Replacement::kPathFree;  // nothing to replace
    if (!S_ISREG(st.st_mode)) return not_a_file_error(st.st_mode, path);
    // Removing the entry needs only the directory to be writable. A file the caller could not
    // open for writing (read-only, another user's) is refused with that open's error, as
    // truncating it in place would be, so that a write-protected file stays protected. A file
    // gone since the check needs no replacing.
    before_replacement_open.run_if_armed();
    if (auto writable = open_existing(target, Access::kWrite); !writable.ok()) {
        if (writable.error().os_code() == ENOENT) return Replacement::kPathFree;
        return std::move(writable).error();
    }
    if (::unlink(target.c_str()) != 0) {
        switch (errno) {
            case ENOENT:  // gone already
                return Replacement::kPathFree;
            case EACCES:  // the entry stays: its contents are replaced in place
            case EPERM:
            case EBUSY:
            case EROFS:
                return Replacement::kInPlace;
            default:
                return last_os_error();
        }
    }
    after_replacement_removal.run_if_armed();
    return Replacement::kPathFree;
}

void remove_if_still_named(const File& file, const std::string& path) {
    if (holds_nul(path)) return;
    struct stat opened, named;
    if (::fstat(file.fd(), &opened) != 0 || ::lstat(path.c_str(), &named) != 0) return;
    if (opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) ::unlink(path.c_str());
}

bool path_exists(const std::string& path) {
    if (holds_nul(path)) return false;
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void run_after_next_size_query_for_testing(std::function<void()> hook) {
    after_size_query.arm(std::move(hook));
}

void run_before_next_replacement_open_for_testing(std::function<void()> hook) {
    before_replacement_open.arm(std::move(hook));
}

void run_after_next_replacement_removal_for_testing(std::function<void()> hook) {
    after_replacement_removal.arm(std::move(hook));
}

}  // namespace kestrove::platform
