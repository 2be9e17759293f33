#include "binio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

namespace binio {

void appendBytes(std::vector<uint8_t>& out, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

bool readExact(std::istream& stream, void* data, std::size_t size) {
    if (size == 0) return static_cast<bool>(stream);
    stream.read(static_cast<char*>(data), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(stream.gcount()) == size;
}

bool preadFull(int fd, void* data, std::size_t size, uint64_t offset) {
    auto* out = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) {
            errno = 0;
            return false;
        }
        out += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

bool pwriteFull(int fd, const void* data, std::size_t size, uint64_t offset) {
    const auto* in = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, in, size, static_cast<off_t>(offset));
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) {
            errno = EIO;
            return false;
        }
        in += put;
        size -= static_cast<std::size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
    return true;
}

// A descriptor given up without close() keeps errno as it was: it may tell why an open failed.
FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        const int error = errno;
        close();
        errno = error;
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    const int error = errno;
    close();
    errno = error;
}

FileDescriptor FileDescriptor::open(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return FileDescriptor(fd);
}

namespace {

bool streamOnly(const struct stat& status) { return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode); }

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// How often openPositional looks at a path: as many dangling links as the system follows.
constexpr int kMaxLooks = 40;

// The file that the O_PATH descriptor `at` (status `seen`) refers to, opened with `flags`:
// through /proc, so that it is that very file whatever appeared at `path` since it was looked
// at. Where /proc is not mounted, through `path` again, kept only when that still names the
// same file; *moved is set when it no longer does.
FileDescriptor reopen(const FileDescriptor& at, const struct stat& seen, const std::string& path, int flags,
                      bool* moved) {
    *moved = false;
    FileDescriptor fd = FileDescriptor::open("/proc/self/fd/" + std::to_string(at.get()), flags & ~O_NOFOLLOW);
    if (fd.valid() || errno != ENOENT) return fd;
    fd = FileDescriptor::open(path, flags);
    if (!fd.valid()) return fd;
    struct stat now {};
    if (::fstat(fd.get(), &now) != 0) {
        const int error = errno;
        fd.close();
        errno = error;
        return fd;
    }
    if (sameFile(now, seen)) return fd;
    fd.close();
    *moved = true;
    return fd;
}

// Where creating `path` goes once it is found to exist: the target of a dangling symbolic link
// (open(2) creates it), else `path` itself, to be looked at again.
std::string creationTarget(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error))) return path;
    const fs::path target = fs::read_symlink(path, error);
    if (error) return path;
    return target.is_absolute() ? target.string() : (fs::path(path).parent_path() / target).string();
}

// `fd`, a non-blocking probe of what is not a regular file, made blocking again when it can be
// written at positions; else closed, with errno ESPIPE.
FileDescriptor withPositions(FileDescriptor fd) {
    int error = 0;
    if (::lseek(fd.get(), 0, SEEK_CUR) < 0) {
        error = ESPIPE;
    } else {
        const int mask = ::fcntl(fd.get(), F_GETFL);
        if (mask < 0 || ::fcntl(fd.get(), F_SETFL, mask & ~O_NONBLOCK) != 0) error = errno;
    }
    if (error == 0) return fd;
    fd.close();
    errno = error;
    return fd;
}

}  // namespace

FileDescriptor FileDescriptor::openPositional(const std::string& path, int flags, mode_t mode) {
    std::string target = path;
    for (int look = 0; look < kMaxLooks; ++look) {
        // Looking through an O_PATH descriptor opens nothing: no FIFO's reader sees a writer,
        // and no lease is broken.
        const FileDescriptor at = open(target, O_PATH | (flags & O_NOFOLLOW));
        if (!at.valid()) {
            if (errno != ENOENT || (flags & O_CREAT) == 0) return FileDescriptor();
            // Nothing is there: with O_EXCL the open creates a new file or opens nothing.
            FileDescriptor created = open(target, flags | O_EXCL, mode);
            if (created.valid() || errno != EEXIST) return created;
            target = creationTarget(target);
            continue;
        }
        struct stat seen {};
        if (::fstat(at.get(), &seen) != 0) return FileDescriptor();
        if (S_ISLNK(seen.st_mode)) {
            errno = ELOOP;
            return FileDescriptor();
        }
        if (streamOnly(seen)) {
            errno = ESPIPE;
            return FileDescriptor();
        }
        const bool regular = S_ISREG(seen.st_mode);
        bool moved = false;
        FileDescriptor fd = reopen(at, seen, target, (flags & ~O_CREAT) | (regular ? 0 : O_NONBLOCK), &moved);
        if (moved) continue;
        if (regular) return fd;
        // A device without a driver, or a FIFO met on the way without /proc.
        if (!fd.valid() && errno == ENXIO) errno = ESPIPE;
        return fd.valid() ? withPositions(std::move(fd)) : std::move(fd);
    }
    errno = ELOOP;
    return FileDescriptor();
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool FileDescriptor::close() {
    if (fd_ < 0) return true;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
}

DescriptorStream::DescriptorStream(DescriptorStream&& other) noexcept
    : std::iostream(std::move(other)), buffer_(std::move(other.buffer_)) {
    set_rdbuf(buffer_.get());
    other.set_rdbuf(nullptr);
}

DescriptorStream& DescriptorStream::operator=(DescriptorStream&& other) noexcept {
    std::iostream::operator=(std::move(other));
    buffer_ = std::move(other.buffer_);
    set_rdbuf(buffer_.get());
    other.set_rdbuf(nullptr);
    return *this;
}

void DescriptorStream::open(FileDescriptor fd, std::ios::openmode mode) {
    if (is_open() || !fd.valid()) {
        setstate(std::ios::failbit);
        return;
    }
    // The buffer's stdio stream takes the descriptor over and is what a std::fstream uses.
    auto buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd.get(), mode);
    if (!buffer->is_open()) {
        setstate(std::ios::failbit);
        return;
    }
    fd.release();
    buffer_ = std::move(buffer);
    rdbuf(buffer_.get());
}

bool DescriptorStream::is_open() const { return buffer_ && buffer_->is_open(); }

void DescriptorStream::close() {
    if (!buffer_ || buffer_->close() == nullptr) setstate(std::ios::failbit);
}

}  // namespace binio
