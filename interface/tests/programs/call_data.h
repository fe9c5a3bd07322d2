// SPDX-License-Identifier: MIT
// The data the call programs send and how they check what arrives: the
// byte at each offset of what application A (or B) sends, and FNV-1a
// digests of it.
#ifndef CALL_DATA_H
#define CALL_DATA_H

#include <stddef.h>
#include <stdint.h>

#define DIGEST_START 0xcbf29ce484222325ull

static inline uint64_t fnv1a(uint64_t hash, const unsigned char* data, size_t size) {
  for (size_t i = 0; i < size; ++i)
    hash = (hash ^ data[i]) * 0x100000001b3ull;
  return hash;
}

// The byte at `offset` of what A (`from_a`) or B sends.
static inline unsigned char sent_byte(int from_a, unsigned long long offset) {
  return (unsigned char)(offset * 31 + (from_a ? 7 : 101) + offset / 251);
}

// The digest of the first `total` bytes A (`from_a`) or B sends.
static inline uint64_t digest_of_sent(int from_a, unsigned long long total) {
  uint64_t hash = DIGEST_START;
  for (unsigned long long i = 0; i < total; ++i) {
    unsigned char c = sent_byte(from_a, i);
    hash = fnv1a(hash, &c, 1);
  }
  return hash;
}

#endif
