// The engine's memory gate: every allocation of page data (the page image
// and its temporaries, read buffers, command buffers, compression and coder
// scratch) goes through these, so that there is one place where memory is
// taken. Builds with TAVEL_ALLOC_GATE count the allocations and can make
// the Nth one fail, which is how tests walk every failure branch of a job.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace tavel {

#ifdef TAVEL_ALLOC_GATE
void* GateMalloc(size_t bytes);
void* GateCalloc(size_t count, size_t size);
void* GateRealloc(void* block, size_t bytes);
#else
inline void* GateMalloc(size_t bytes) { return std::malloc(bytes); }
inline void* GateCalloc(size_t count, size_t size) { return std::calloc(count, size); }
inline void* GateRealloc(void* block, size_t bytes) { return std::realloc(block, bytes); }
#endif

// zlib's allocator hooks on top of the gate.
void* GateZalloc(void* opaque, unsigned items, unsigned size);
void GateZfree(void* opaque, void* block);

// Test seam, only in TAVEL_ALLOC_GATE builds: counts allocations from now
// on and fails the one numbered `failAt` (1 = the next; 0 = none).
void ArmAllocationFailure(long failAt);
// Allocations through the gate since the last ArmAllocationFailure.
long AllocationsCounted();

}  // namespace tavel
