// Little-endian fields, full positional reads and writes, an owning file descriptor and a
// buffered stream over one.
//
// Binary fields are stored and loaded byte by byte here, never by writing a struct. The
// functions keep no state and may be used from several threads; a FileDescriptor or a
// DescriptorStream belongs to one owner at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace binio {

// Stores the low sizeof(T) bytes of `value` at `out`, least significant byte first.
template <class T>
void storeLE(uint8_t* out, T value) {
    static_assert(std::is_integral_v<T>, "integers only");
    using U = std::make_unsigned_t<T>;
    U bits = static_cast<U>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<uint8_t>(bits & 0xFFu);
        bits = static_cast<U>(bits >> 4 >> 4);
    }
}

// Loads a little-endian integer of sizeof(T) bytes from `in`.
template <class T>
T loadLE(const uint8_t* in) {
    static_assert(std::is_integral_v<T>, "integers only");
    using U = std::make_unsigned_t<T>;
    U bits = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) bits = static_cast<U>((bits << 4 << 4) | in[i]);
    return static_cast<T>(bits);
}

// Appends a little-endian integer to `out`.
template <class T>
void appendLE(std::vector<uint8_t>& out, T value) {
    const std::size_t at = out.size();
    out.resize(at + sizeof(T));
    storeLE(out.data() + at, value);
}

// Appends raw bytes to `out`.
void appendBytes(std::vector<uint8_t>& out, const void* data, std::size_t size);

// Reads exactly `size` bytes from `stream`; false when fewer were available.
bool readExact(std::istream& stream, void* data, std::size_t size);

// Reads a little-endian integer from `stream`; false on a short read.
template <class T>
bool readLE(std::istream& stream, T* value) {
    uint8_t bytes[sizeof(T)];
    if (!readExact(stream, bytes, sizeof bytes)) return false;
    *value = loadLE<T>(bytes);
    return true;
}

// pread/pwrite until all `size` bytes are done, retrying on EINTR. False on an error or when
// the file ends first (a 0-byte result); errno then tells why (0 for end of file).
bool preadFull(int fd, void* data, std::size_t size, uint64_t offset);
bool pwriteFull(int fd, const void* data, std::size_t size, uint64_t offset);

// An open POSIX file descriptor, closed on destruction. Move-only.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor();

    // Opens `path` with open(2); a file it creates gets `mode` less the umask. Check valid()
    // afterwards.
    static FileDescriptor open(const std::string& path, int flags, mode_t mode = 0666);
    // Opens `path` with open(2) `flags` for writing at positions, never waiting for a reader.
    // What is at the path is looked at without being opened, and the open then goes to that
    // very file: a regular file gets a plain blocking open (which waits, as any open does, for
    // another process to give up a lease on it); where nothing is, O_CREAT makes a new file
    // with `mode` less the umask, and never opens what appeared meanwhile; a FIFO or a socket
    // is refused unopened; anything else (a device) gets a non-blocking probe and is kept only
    // when it has positions. errno is ESPIPE for a file refused so, ELOOP for a symbolic link
    // at the path under O_NOFOLLOW. A dangling link is followed, as open(2) follows it, to
    // create its target. Check valid() afterwards.
    static FileDescriptor openPositional(const std::string& path, int flags, mode_t mode = 0666);

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    // Closes the descriptor and reports whether close succeeded (true when none was open).
    bool close();

private:
    int fd_ = -1;
};

// A buffered input and output stream, as std::fstream is, over a descriptor it takes over: the
// file is opened once, with the checks its opener made, and never again by name. Move-only.
class DescriptorStream : public std::iostream {
public:
    DescriptorStream() : std::iostream(nullptr) {}
    DescriptorStream(DescriptorStream&& other) noexcept;
    DescriptorStream& operator=(DescriptorStream&& other) noexcept;
    ~DescriptorStream() override = default;

    // Streams through `fd` in `mode` (as std::fstream::open takes it; nothing is truncated, the
    // descriptor is used as it was opened) and clears the state. An invalid descriptor, or a
    // stream that is open already, sets failbit instead.
    void open(FileDescriptor fd, std::ios::openmode mode);
    bool is_open() const;
    // Flushes and closes the file; sets failbit when either fails or nothing was open.
    void close();

private:
    std::unique_ptr<std::filebuf> buffer_;
};

}  // namespace binio
