/* Preloaded into a process, counts its calls of malloc, calloc, realloc and
 * aligned allocation, and at exit writes the count to the file named by
 * COUNT_ALLOCATIONS_FILE. */
#include <stdio.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static unsigned long allocations;

void* malloc(size_t size) {
  ++allocations;
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
