// Memory-map guards: a fixed table of the live mappings of input files, each entry holding the
// mapped address range and the complete report for it, and the SIGBUS handler that turns a
// fault inside one of those ranges (the file was cut short under the map by another process)
// into that report and exit status 1 instead of a crash. The handler is installed at the first
// registration; a SIGBUS outside every range keeps the action that was in place before.
//
// A Guard belongs to one owner at a time; guards of different owners may be used from several
// threads at once, and the handler reads the table while they change it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace mapguard {

// One entry of the table. Move-only; the entry goes back to the table when the guard goes.
class Guard {
public:
    // Holds no entry and covers nothing.
    Guard() = default;
    // Takes an entry with the report `report` (written to standard error as failure::report
    // shows it, through failure::visible) that covers no range yet. A full table ends the run
    // with a report naming `file`.
    Guard(const std::string& file, const std::string& report);
    Guard(Guard&& other) noexcept;
    Guard& operator=(Guard&& other) noexcept;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard();

    // Covers the `size` bytes at `address` instead of the range covered before. The range must
    // stay mapped until it is replaced, cleared or the guard goes. No effect without an entry.
    void cover(const void* address, std::size_t size);
    // Covers no range; the entry and its report are kept.
    void clear();

private:
    void release();

    int slot = -1;
    // The report as written, owned here so that the handler needs no allocation.
    std::unique_ptr<char[]> text;
};

}  // namespace mapguard
