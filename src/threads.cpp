#include "threads.h"

#include <omp.h>

#include <algorithm>

int teamSize(uint64_t requested, uint64_t items) {
    // The processors of the process's affinity mask; at least one.
    const uint64_t processors = static_cast<uint64_t>(std::max(omp_get_num_procs(), 1));
    return static_cast<int>(std::min({std::max<uint64_t>(requested, 1), items, processors}));
}
