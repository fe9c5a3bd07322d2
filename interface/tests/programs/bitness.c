// SPDX-License-Identifier: MIT
// The smallest Windows program of a build: it says its bitness. Where Wine
// prints "32" for the 32-bit build, 32-bit Windows programs run here.
#include <stdio.h>

int main(void) {
  printf("%u\n", (unsigned)(sizeof(void*) * 8));
  return 0;
}
