#include "mapguard.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "error.h"

namespace mapguard {

namespace {

// An entry of the table. Its owner changes the range as a sequence lock: `version` is odd while
// the two bounds change, so that the handler never takes the bounds of two different ranges.
struct Entry {
    std::atomic<bool> used{false};
    std::atomic<uint64_t> version{0};
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<const char*> text{nullptr};
    std::atomic<std::size_t> length{0};
};

static_assert(std::atomic<uintptr_t>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<const char*>::is_always_lock_free && std::atomic<std::size_t>::is_always_lock_free,
              "the signal handler reads the table");

// The program maps one region per mapped file at a time; a few files at once are plenty.
constexpr int kEntries = 64;
Entry table[kEntries];

// The SIGBUS action in place before the handler, restored for a fault that is not ours.
struct sigaction previous {};

void setRange(Entry& entry, uintptr_t begin, uintptr_t end) {
    entry.version.fetch_add(1);
    entry.begin.store(begin);
    entry.end.store(end);
    entry.version.fetch_add(1);
}

// The entry whose range holds `address`, or nullptr. An entry that is changing its range right
// now does not count: its owner is not reading the mapping meanwhile.
const Entry* covering(uintptr_t address) {
    for (const Entry& entry : table) {
        if (!entry.used.load()) continue;
        const uint64_t version = entry.version.load();
        const uintptr_t begin = entry.begin.load();
        const uintptr_t end = entry.end.load();
        if (version % 2 == 0 && entry.version.load() == version && begin <= address && address < end) return &entry;
    }
    return nullptr;
}

// write(2) until all bytes are out, retrying on EINTR; gives up on any other error.
void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
}

// Async-signal-safe only: the table's atomics, sigaction, raise, write, pause and _exit.
void onSigbus(int signal, siginfo_t* info, void*) {
    // A positive code marks a fault of the kernel, whose address is in si_addr; a SIGBUS sent
    // by kill or sigqueue has none.
    const bool fault = info->si_code > 0;
    const Entry* entry = fault ? covering(reinterpret_cast<uintptr_t>(info->si_addr)) : nullptr;
    if (entry == nullptr) {
        // Not ours: with the previous action back, the fault repeats when the handler returns
        // and is handled as it would have been; a sent signal is sent again.
        sigaction(SIGBUS, &previous, nullptr);
        if (!fault) raise(signal);
        return;
    }
    if (!failure::claimReport()) {
        // Another thread is already reporting and will end the process.
        for (;;) pause();
    }
    writeAll(STDERR_FILENO, entry->text.load(), entry->length.load());
    _exit(EXIT_FAILURE);
}

bool installHandler() {
    struct sigaction action {};
    action.sa_sigaction = onSigbus;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &previous) == 0;
}

}  // namespace

Guard::Guard(const std::string& file, const std::string& report) {
    static const bool installed = installHandler();
    if (!installed) Error::fail("Cannot install the handler that guards the memory map of file '" + file + "'!");
    for (int k = 0; k < kEntries && slot < 0; ++k) {
        bool expected = false;
        if (table[k].used.compare_exchange_strong(expected, true)) slot = k;
    }
    if (slot < 0) Error::fail("Too many files are memory-mapped at once to guard the map of file '" + file + "'!");
    const std::string shown = failure::visible(report);
    text = std::make_unique<char[]>(shown.size());
    std::memcpy(text.get(), shown.data(), shown.size());
    table[slot].length.store(shown.size());
    table[slot].text.store(text.get());
}

Guard::Guard(Guard&& other) noexcept : slot(other.slot), text(std::move(other.text)) { other.slot = -1; }

Guard& Guard::operator=(Guard&& other) noexcept {
    if (this != &other) {
        release();
        slot = other.slot;
        text = std::move(other.text);
        other.slot = -1;
    }
    return *this;
}

Guard::~Guard() { release(); }

void Guard::cover(const void* address, std::size_t size) {
    if (slot < 0) return;
    const auto begin = reinterpret_cast<uintptr_t>(address);
    setRange(table[slot], begin, begin + size);
}

void Guard::clear() {
    if (slot >= 0) setRange(table[slot], 0, 0);
}

void Guard::release() {
    if (slot < 0) return;
    Entry& entry = table[slot];
    setRange(entry, 0, 0);
    entry.text.store(nullptr);
    entry.length.store(0);
    entry.used.store(false);
    slot = -1;
    text.reset();
}

}  // namespace mapguard
