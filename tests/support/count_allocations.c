// SPDX-License-Identifier: MIT
/* Preloaded into a process, counts its calls of malloc, calloc, realloc and
 * aligned allocation, and at exit writes the count to the file named by
 * COUNT_ALLOCATIONS_FILE. With FAIL_ALLOCATIONS_OF=N set, every malloc of
 * exactly N bytes fails. */
#include <stdio.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static unsigned long allocations;

void* malloc(size_t size) {
  static long fail_size = -2;
  if (fail_size == -2) {
    const char* named = getenv("FAIL_ALLOCATIONS_OF");
    fail_size = named != NULL ? atol(named) : -1;
  }
  ++allocations;
  if ((long)size == fail_size)
    return NULL;
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  ++allocations;
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  ++allocations;
  return __libc_realloc(block, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  ++allocations;
  return __libc_memalign(alignment, size);
}

__attribute__((destructor)) static void report(void) {
  unsigned long count = allocations;
  const char* path = getenv("COUNT_ALLOCATIONS_FILE");
  FILE* out = path != NULL ? fopen(path, "w") : NULL;
  if (out == NULL)
    return;
  fprintf(out, "%lu\n", count);
  fclose(out);
}
