// Opening outputs written at positions, and the stream over a descriptor it takes over.

#include "binio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include "support/tempdir.h"

namespace {

namespace fs = std::filesystem;
using binio::DescriptorStream;
using binio::FileDescriptor;

// The umask of this process for one scope.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(saved_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t saved_;
};

mode_t permissions(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST(FileDescriptorOpen, ACreatedFileGetsEveryPermissionTheUmaskLeaves) {
    for (const mode_t mask : {mode_t{0}, mode_t{002}, mode_t{022}, mode_t{077}}) {
        SCOPED_TRACE(mask);
        TempDir dir;
        const ScopedUmask scoped(mask);
        {
            const FileDescriptor positional =
                FileDescriptor::openPositional(dir.file("p.bcor"), O_WRONLY | O_CREAT | O_TRUNC);
            const FileDescriptor plain = FileDescriptor::open(dir.file("t.ld"), O_WRONLY | O_CREAT | O_TRUNC);
            ASSERT_TRUE(positional.valid() && plain.valid());
        }
        EXPECT_EQ(permissions(dir.file("p.bcor")), 0666 & ~mask);
        EXPECT_EQ(permissions(dir.file("t.ld")), 0666 & ~mask);
    }
}

TEST(FileDescriptorOpenPositional, OpensWhatIsAtThePathOrRefusesItUnopened) {
    const auto nothing = [](const TempDir&) {};
    const auto file = [](const TempDir& dir) { dir.write("o", "old bytes"); };
    const struct {
        std::string name;
        std::function<void(const TempDir&)> make;
        int flags;
        int error;            // 0: opens
        std::string content;  // of "o" afterwards, when it is a regular file
    } cases[] = {
        {"nothing, created", nothing, O_WRONLY | O_CREAT, 0, ""},
        {"nothing, not to be created", nothing, O_WRONLY, ENOENT, ""},
        {"a file, kept", file, O_WRONLY | O_CREAT, 0, "old bytes"},
        {"a file, emptied", file, O_RDWR | O_CREAT | O_TRUNC, 0, ""},
        {"a link to a file", [](const TempDir& dir) { dir.write("f", "linked"); fs::create_symlink("f", dir.file("o")); },
         O_WRONLY, 0, "linked"},
        {"a link, not followed",
         [](const TempDir& dir) { dir.write("f", "linked"); fs::create_symlink("f", dir.file("o")); },
         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, ELOOP, "linked"},
        {"a dangling link, not followed", [](const TempDir& dir) { fs::create_symlink("f", dir.file("o")); },
         O_WRONLY | O_CREAT | O_NOFOLLOW, ELOOP, ""},
        {"a FIFO", [](const TempDir& dir) { ASSERT_EQ(::mkfifo(dir.file("o").c_str(), 0666), 0); }, O_WRONLY | O_CREAT,
         ESPIPE, ""},
        {"a FIFO through a link",
         [](const TempDir& dir) {
             ASSERT_EQ(::mkfifo(dir.file("f").c_str(), 0666), 0);
             fs::create_symlink("f", dir.file("o"));
         },
         O_WRONLY | O_CREAT | O_TRUNC, ESPIPE, ""},
        {"a directory", [](const TempDir& dir) { fs::create_directory(dir.file("o")); }, O_WRONLY | O_CREAT, EISDIR, ""},
        {"/dev/null through a link", [](const TempDir& dir) { fs::create_symlink("/dev/null", dir.file("o")); },
         O_WRONLY | O_CREAT | O_TRUNC, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.make(dir);
        errno = 0;
        const FileDescriptor fd = FileDescriptor::openPositional(dir.file("o"), c.flags);
        EXPECT_EQ(fd.valid() ? 0 : errno, c.error) << std::strerror(errno);
        struct stat status {};
        if (::stat(dir.file("o").c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            EXPECT_EQ(dir.read("o"), c.content);
        }
        if (fd.valid()) {
            EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
        }
    }

    // A socket is refused like a FIFO.
    TempDir dir;
    const FileDescriptor socket = bindSocket(dir.file("s"));
    errno = 0;
    EXPECT_FALSE(FileDescriptor::openPositional(dir.file("s"), O_WRONLY | O_CREAT).valid());
    EXPECT_EQ(errno, ESPIPE);
}

TEST(FileDescriptorOpenPositional, WritingThroughADanglingLinkCreatesItsTarget) {
    TempDir dir;
    fs::create_directory(dir.file("d"));
    // o -> d/l -> ../t, with nothing at t: the second link is relative to its own folder.
    fs::create_symlink("d/l", dir.file("o"));
    fs::create_symlink("../t", dir.file("d/l"));
    const ScopedUmask scoped(022);
    {
        const FileDescriptor fd = FileDescriptor::openPositional(dir.file("o"), O_WRONLY | O_CREAT | O_TRUNC);
        ASSERT_TRUE(fd.valid()) << std::strerror(errno);
        ASSERT_TRUE(binio::pwriteFull(fd.get(), "abc", 3, 0));
    }
    EXPECT_TRUE(fs::is_symlink(dir.file("o")));
    EXPECT_EQ(dir.read("t"), "abc");
    EXPECT_EQ(permissions(dir.file("t")), 0644u);

    // Links that lead round in a circle end with ELOOP instead of looping.
    fs::create_symlink("c2", dir.file("c1"));
    fs::create_symlink("c1", dir.file("c2"));
    errno = 0;
    EXPECT_FALSE(FileDescriptor::openPositional(dir.file("c1"), O_WRONLY | O_CREAT).valid());
    EXPECT_EQ(errno, ELOOP);
}

TEST(DescriptorStream, StreamsThroughTheDescriptorItTakesOver) {
    TempDir dir;
    DescriptorStream stream;
    stream.open(FileDescriptor::open(dir.file("f"), O_RDWR | O_CREAT | O_TRUNC), std::ios::in | std::ios::out);
    ASSERT_TRUE(stream.is_open());
    stream << "0123456789";
    stream.seekp(3);
    stream << "abc";
    EXPECT_EQ(static_cast<std::streamoff>(stream.tellp()), 6);

    // A moved stream goes on where the other stopped; the other holds no file.
    DescriptorStream moved(std::move(stream));
    EXPECT_FALSE(stream.is_open());
    moved.seekg(0);
    std::string text;
    moved >> text;
    EXPECT_EQ(text, "012abc6789");
    moved.close();
    EXPECT_FALSE(moved.fail());
    EXPECT_EQ(dir.read("f"), "012abc6789");

    // Closing twice, opening an open stream and opening no descriptor all fail.
    moved.close();
    EXPECT_TRUE(moved.fail());
    moved.open(FileDescriptor(), std::ios::out);
    EXPECT_TRUE(moved.fail());
    EXPECT_FALSE(moved.is_open());
    moved.open(FileDescriptor::open(dir.file("g"), O_WRONLY | O_CREAT), std::ios::out);
    EXPECT_TRUE(moved.is_open());
    EXPECT_TRUE(moved.good());
    moved.open(FileDescriptor::open(dir.file("f"), O_WRONLY), std::ios::out);
    EXPECT_TRUE(moved.fail());
    DescriptorStream assigned;
    assigned = std::move(moved);
    assigned.clear();
    assigned << "g";
    assigned.close();
    EXPECT_FALSE(assigned.fail());
    EXPECT_EQ(dir.read("g"), "g");
}

}  // namespace
