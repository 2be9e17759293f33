// The size of an OpenMP team (or of the BLAS thread pool): every parallel region of the program
// takes its thread count from here. Stateless; may be called from any thread.
#pragma once

#include <cstdint>

// min(requested, items, processors this process can run on): 0 only when there are no items.
// A requested count of 0 counts as 1. Never more threads than the work or the machine can use,
// whatever --n-threads asks for.
int teamSize(uint64_t requested, uint64_t items);
