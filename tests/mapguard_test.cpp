// The guards of memory maps: a SIGBUS from reading a mapping whose file was cut short ends the
// process with the guard's report and status 1; any other SIGBUS is handled as it would have
// been without the guards. Each case runs in a child process of its own.

#include "mapguard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/process.h"
#include "support/tempdir.h"

namespace {

// A file of two pages mapped read-only; cut() truncates it to 0 bytes, so that reading the
// mapping raises SIGBUS.
class Mapping {
public:
    Mapping(const TempDir& dir, const std::string& name)
        : path_(dir.write(name, std::string(twoPages(), 'x'))), size_(twoPages()) {
        const int fd = ::open(path_.c_str(), O_RDONLY);
        void* mapped = fd < 0 ? MAP_FAILED : mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
        if (fd >= 0) ::close(fd);
        if (mapped == MAP_FAILED) throw std::runtime_error("cannot map " + path_);
        bytes_ = static_cast<const char*>(mapped);
    }
    ~Mapping() { munmap(const_cast<char*>(bytes_), size_); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    void cut() const { truncate(path_.c_str(), 0); }
    // Reads the last byte of the mapping.
    char read() const { return *static_cast<const volatile char*>(bytes_ + size_ - 1); }
    const void* address() const { return bytes_; }
    std::size_t size() const { return size_; }

private:
    static std::size_t twoPages() { return 2 * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

    std::string path_;
    std::size_t size_;
    const char* bytes_ = nullptr;
};

// Runs `body` in a child that writes no core file when a signal ends it.
ProcessResult inChild(const std::function<void()>& body) {
    return runInChild([&] {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
        body();
    });
}

const std::string kReport = "Error : File 'cut\r.bin' changed while it was being read!\n\n";
const std::string kShown = "Error : File 'cut\\r.bin' changed while it was being read!\n\n";

TEST(MapGuard, AFaultInsideAGuardedRangeEndsWithItsReport) {
    TempDir dir;
    const struct {
        std::string name;
        std::function<void(const Mapping& cut, const Mapping& intact)> body;
    } cases[] = {
        {"the one guard",
         [](const Mapping& cut, const Mapping&) {
             mapguard::Guard guard("cut.bin", kReport);
             guard.cover(cut.address(), cut.size());
             cut.cut();
             cut.read();
         }},
        {"the second of two guards",
         [](const Mapping& cut, const Mapping& intact) {
             mapguard::Guard first("intact.bin", "Error : the wrong report\n\n");
             first.cover(intact.address(), intact.size());
             mapguard::Guard second("cut.bin", kReport);
             second.cover(cut.address(), cut.size());
             cut.cut();
             intact.read();
             cut.read();
         }},
        {"a guard moved after it covered its range, then moved on to it",
         [](const Mapping& cut, const Mapping& intact) {
             mapguard::Guard guard("cut.bin", kReport);
             guard.cover(intact.address(), intact.size());
             mapguard::Guard moved(std::move(guard));
             mapguard::Guard assigned;
             assigned = std::move(moved);
             assigned.cover(cut.address(), cut.size());
             cut.cut();
             cut.read();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Mapping cut(dir, "cut.bin"), intact(dir, "intact.bin");
        const ProcessResult r = inChild([&] { c.body(cut, intact); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, kShown);
        EXPECT_EQ(r.out, "");
    }
}

// Without the guards the fault kills the process by SIGBUS (under AddressSanitizer, its own
// handler reports it and aborts); with guards that do not cover it, it must end the same way.
TEST(MapGuard, AnyOtherSigbusKeepsItsPreviousAction) {
    TempDir dir;
    const Mapping reference(dir, "reference.bin");
    const ProcessResult unguarded = inChild([&] {
        reference.cut();
        reference.read();
    });
#ifdef __SANITIZE_ADDRESS__
    EXPECT_NE(unguarded.err.find("AddressSanitizer"), std::string::npos) << unguarded.err;
#else
    EXPECT_EQ(unguarded.status, 128 + SIGBUS);
    EXPECT_EQ(unguarded.err, "");
#endif
    const struct {
        std::string name;
        std::function<void(const Mapping& cut, const Mapping& intact)> body;
    } cases[] = {
        {"a fault outside every guarded range",
         [](const Mapping& cut, const Mapping& intact) {
             mapguard::Guard guard("intact.bin", kReport);
             guard.cover(intact.address(), intact.size());
             cut.cut();
             cut.read();
         }},
        {"a cleared guard",
         [](const Mapping& cut, const Mapping&) {
             mapguard::Guard guard("cut.bin", kReport);
             guard.cover(cut.address(), cut.size());
             guard.clear();
             cut.cut();
             cut.read();
         }},
        {"a guard that is gone",
         [](const Mapping& cut, const Mapping&) {
             mapguard::Guard("cut.bin", kReport).cover(cut.address(), cut.size());
             cut.cut();
             cut.read();
         }},
        {"a guard moved from",
         [](const Mapping& cut, const Mapping&) {
             mapguard::Guard guard("cut.bin", kReport);
             const mapguard::Guard moved(std::move(guard));
             guard.cover(cut.address(), cut.size());
             cut.cut();
             cut.read();
         }},
        // A signal sent by a process carries no fault address: it is not taken for a fault.
        {"a SIGBUS sent with kill",
         [](const Mapping& cut, const Mapping&) {
             mapguard::Guard guard("cut.bin", kReport);
             guard.cover(cut.address(), cut.size());
             kill(getpid(), SIGBUS);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Mapping cut(dir, "cut.bin"), intact(dir, "intact.bin");
        const ProcessResult r = inChild([&] { c.body(cut, intact); });
        EXPECT_EQ(r.status, unguarded.status);
        EXPECT_EQ(r.out, "");
#ifdef __SANITIZE_ADDRESS__
        EXPECT_NE(r.err.find("AddressSanitizer"), std::string::npos) << r.err;
#else
        EXPECT_EQ(r.err, "");
#endif
    }
}

}  // namespace
