// A fault shim for tests, loaded into the tesmaro binary with LD_PRELOAD. It makes file-system
// faults happen at a fixed point of a run, for the file that an environment variable names
// (by device and inode, so any path to it counts):
//
//   TESMARO_SHIM_CUT_AFTER_MMAP=<path>  After the first successful mmap of a descriptor of the
//       file, the file is truncated to 0 bytes: another process cutting it short under a reader.
//   TESMARO_SHIM_FAIL_CLOSE=<path>      close(2) and fclose(3) of a descriptor or stream that is
//       open for writing the file while the file holds data really close it, then fail with EIO:
//       a network file system reporting at close that written data were lost. Closing the file
//       while it is empty (the start-of-run checks create the outputs that way) succeeds.
//   TESMARO_SHIM_FIFO_AFTER_TRUNCATE=<path>  After the first successful open(2) that truncates
//       the file, a FIFO takes its place at the path: another process swapping the output
//       between two opens. The descriptor stays open on the file, now without a name.
//   TESMARO_SHIM_NO_PROC_FD=1           open(2) of a path under /proc/self/fd/ fails with ENOENT,
//       as on a system where /proc is not mounted.
//
// Without these variables every call goes straight to the next definition (the C library, or a
// sanitizer's interceptor). Built without sanitizers and apart from the project's libraries.
// The interposed functions may be called from several threads.

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

const char* const kCutAfterMmap = "TESMARO_SHIM_CUT_AFTER_MMAP";
const char* const kFailClose = "TESMARO_SHIM_FAIL_CLOSE";
const char* const kFifoAfterTruncate = "TESMARO_SHIM_FIFO_AFTER_TRUNCATE";
const char* const kNoProcFd = "TESMARO_SHIM_NO_PROC_FD";

// The next definition of `name` after this library.
template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// True when `fd` is open on the file named by environment variable `variable`; `status` then
// holds the file's status.
bool refersTo(int fd, const char* variable, struct stat* status) {
    const char* path = getenv(variable);
    struct stat named {};
    return path != nullptr && fd >= 0 && fstat(fd, status) == 0 && stat(path, &named) == 0 &&
           status->st_dev == named.st_dev && status->st_ino == named.st_ino;
}

std::atomic<bool> cutDone{false};

// The result of a mapping of `fd`; cuts the named file after its first successful mapping.
void* afterMmap(void* result, int fd) {
    struct stat status {};
    if (result != MAP_FAILED && refersTo(fd, kCutAfterMmap, &status) && !cutDone.exchange(true))
        truncate(getenv(kCutAfterMmap), 0);
    return result;
}

// True when closing `fd` is to fail: it is open for writing the named file, which holds data.
bool closeFails(int fd) {
    struct stat status {};
    if (!refersTo(fd, kFailClose, &status) || status.st_size == 0) return false;
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

std::atomic<bool> swapDone{false};

// The result of open(2) with `flags`: a FIFO replaces the named file after its first truncation.
int afterOpen(int fd, int flags) {
    struct stat status {};
    if ((flags & O_TRUNC) != 0 && refersTo(fd, kFifoAfterTruncate, &status) && !swapDone.exchange(true)) {
        const char* path = getenv(kFifoAfterTruncate);
        unlink(path);
        mkfifo(path, 0666);
    }
    return fd;
}

// The mode argument of open(2), present when the flags create a file.
mode_t modeOf(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(arguments, mode_t) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    static const auto real = next<int (*)(const char*, int, ...)>("open");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    if (getenv(kNoProcFd) != nullptr && std::strncmp(path, "/proc/self/fd/", 14) == 0) {
        errno = ENOENT;
        return -1;
    }
    return afterOpen(real(path, flags, mode), flags);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) noexcept {
    static const auto real = next<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
    return afterMmap(real(address, length, protection, flags, fd, offset), fd);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off64_t offset) noexcept {
    static const auto real = next<void* (*)(void*, size_t, int, int, int, off64_t)>("mmap64");
    return afterMmap(real(address, length, protection, flags, fd, offset), fd);
}

int close(int fd) {
    static const auto real = next<int (*)(int)>("close");
    const bool fails = closeFails(fd);
    const int result = real(fd);
    if (!fails) return result;
    errno = EIO;
    return -1;
}

int fclose(FILE* stream) {
    static const auto real = next<int (*)(FILE*)>("fclose");
    bool fails = false;
    if (stream != nullptr && getenv(kFailClose) != nullptr) {
        // Data still in the stream's buffer count as held by the file.
        fflush(stream);
        fails = closeFails(fileno(stream));
    }
    const int result = real(stream);
    if (!fails) return result;
    errno = EIO;
    return EOF;
}

}  // extern "C"
