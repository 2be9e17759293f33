#include "binio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() { close(); }

FileDescriptor FileDescriptor::open(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return FileDescriptor(fd);
}

namespace {

bool streamOnly(const struct stat& status) { return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode); }

}  // namespace

FileDescriptor FileDescriptor::openPositional(const std::string& path, int flags, mode_t mode) {
    struct stat status {};
    // Opening a FIFO already waits for (or, on close, ends) its reader.
    const bool there = (flags & O_NOFOLLOW) != 0 ? ::lstat(path.c_str(), &status) == 0
                                                 : ::stat(path.c_str(), &status) == 0;
    if (there && streamOnly(status)) {
        errno = ESPIPE;
        return FileDescriptor();
    }
    FileDescriptor fd = open(path, flags | O_NONBLOCK, mode);
    if (!fd.valid()) return fd;
    int error = 0;
    if (::fstat(fd.get(), &status) != 0) {
        error = errno;
    } else if (streamOnly(status) || (!S_ISREG(status.st_mode) && ::lseek(fd.get(), 0, SEEK_CUR) < 0)) {
        error = ESPIPE;
    } else {
        const int mask = ::fcntl(fd.get(), F_GETFL);
        if (mask < 0 || ::fcntl(fd.get(), F_SETFL, mask & ~O_NONBLOCK) != 0) error = errno;
    }
    if (error == 0) return fd;
    fd.close();
    errno = error;
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

}  // namespace binio
