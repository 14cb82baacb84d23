// The threading runtime's heap, with a reserve for when the heap refuses.
//
// winpthreads, linked into the DLL, makes the record of a statically
// initialised lock or condition the first time it is used, with malloc or
// calloc; when that fails the lock fails, and the C++ runtime ends the
// process on a lock it cannot take. Its lock of the emergency exception
// memory is first taken exactly when the heap refuses to hold an
// exception, so the first std::bad_alloc of a starved process ended the
// host. The DLL links a copy of winpthreads whose heap calls are renamed
// to these (plugin/CMakeLists.txt): they go to the C runtime's heap as
// before, and a small request it refuses is served from a reserve in the
// DLL's data. Only the threading runtime uses the reserve, so the rest of
// the DLL cannot use it up.
#include <stdlib.h>
#include <string.h>

#include <windows.h>

namespace {

// Records of winpthreads are small (a lock's is a few words; a condition's
// and a thread's a few hundred bytes at most).
constexpr size_t kBlockBytes = 512;
constexpr size_t kBlocks = 32;

struct alignas(16) Block {
  unsigned char bytes[kBlockBytes];
};

Block g_blocks[kBlocks];
LONG g_taken[kBlocks];

void* reserveBlock(size_t size) {
  if (size > kBlockBytes) return nullptr;
  for (size_t i = 0; i < kBlocks; ++i) {
    if (InterlockedCompareExchange(&g_taken[i], 1, 0) != 0) continue;
    memset(g_blocks[i].bytes, 0, kBlockBytes);
    return g_blocks[i].bytes;
  }
  return nullptr;
}

// The reserve's index of a block, or -1 for memory of the heap.
ptrdiff_t blockIndex(const void* memory) {
  const auto* block = static_cast<const Block*>(memory);
  if (block < g_blocks || block >= g_blocks + kBlocks) return -1;
  return block - g_blocks;
}

}  // namespace

extern "C" {

void* vardokRuntimeMalloc(size_t size) {
  void* memory = malloc(size);
  return memory ? memory : reserveBlock(size);
}

void* vardokRuntimeCalloc(size_t count, size_t size) {
  void* memory = calloc(count, size);
  if (memory || count == 0 || size > kBlockBytes / count) return memory;
  return reserveBlock(count * size);
}

void vardokRuntimeFree(void* memory) {
  const ptrdiff_t index = blockIndex(memory);
  if (index < 0) {
    free(memory);
    return;
  }
  InterlockedExchange(&g_taken[index], 0);
}

void* vardokRuntimeRealloc(void* memory, size_t size) {
  const ptrdiff_t index = blockIndex(memory);
  // A block of the heap grows or not as the heap has it: the runtime's
  // tables that grow this way answer a failure themselves.
  if (index < 0) return realloc(memory, size);
  if (size <= kBlockBytes) return memory;
  void* grown = malloc(size);
  if (!grown) return nullptr;
  memcpy(grown, memory, kBlockBytes);
  InterlockedExchange(&g_taken[index], 0);
  return grown;
}

}  // extern "C"
