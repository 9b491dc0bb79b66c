#include "image/MemoryGate.h"

namespace tavel {

#ifdef TAVEL_ALLOC_GATE
namespace {

// Test builds only: the seam's state. The engine proper has no globals.
long g_counted = 0;
long g_failAt = 0;

bool Admit() {
  ++g_counted;
  return g_counted != g_failAt;
}

}  // namespace

void* GateMalloc(size_t bytes) { return Admit() ? std::malloc(bytes) : nullptr; }
void* GateCalloc(size_t count, size_t size) { return Admit() ? std::calloc(count, size) : nullptr; }
void* GateRealloc(void* block, size_t bytes) { return Admit() ? std::realloc(block, bytes) : nullptr; }

void ArmAllocationFailure(long failAt) {
  g_counted = 0;
  g_failAt = failAt;
}

long AllocationsCounted() { return g_counted; }
#else
void ArmAllocationFailure(long) {}
long AllocationsCounted() { return 0; }
#endif

void* GateZalloc(void*, unsigned items, unsigned size) { return GateCalloc(items, size); }
void GateZfree(void*, void* block) { std::free(block); }

}  // namespace tavel
