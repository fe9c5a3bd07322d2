// SPDX-License-Identifier: MIT
// A statically linked program, into which nothing can be preloaded.
int main(void) {
  return 0;
}
