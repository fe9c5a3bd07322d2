// SPDX-License-Identifier: MIT
// libcapi-bridge-opened.so: what a program under capi-bridge-run gets when it
// opens libcapi20 itself. It holds nothing; it needs the preloaded library
// first and then Debian's, so that a lookup in it finds libcapi20's entry
// points answered through bridges and the library's message helpers as they are.
