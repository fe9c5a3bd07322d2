// SPDX-License-Identifier: MIT
// A program that opens a plug-in by its bare name, found through the
// program's own RUNPATH, as plug-in hosts do: under capi-bridge-run the
// search must still be the program's.
#include <dlfcn.h>
#include <stdio.h>

int main(void) {
  void* plugin = dlopen("libruntime_plugin.so", RTLD_NOW);
  if (plugin == NULL) {
    printf("no plug-in: %s\n", dlerror());
    return 1;
  }
  const char* name = dlsym(plugin, "plugin_name");
  printf("plug-in %s\n", name != NULL ? name : "without its name");
  return 0;
}
