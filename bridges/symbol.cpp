// Agent locator: see symbol.h.
#include "symbol.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <string.h>

namespace {

// Path of the agent library as the loader reports it, or null. It points at
// the loader's own copy of the name, which lives as long as the object stays
// loaded; the agent is never unloaded once get_symbol_addr has opened it.
const char* shared_lib_name = nullptr;

// Called for every loaded object. Always returns 0 so that the walk goes on
// to the end and the last matching object in the loader's order wins. The
// main program is listed with an empty name.
int dl_callback(struct dl_phdr_info* info, size_t, void*) {
  const char* name = info->dlpi_name;
  if (name != nullptr && strstr(name, "varnex_profiler_agent.") != nullptr) shared_lib_name = name;
  return 0;
}

// Runs while the loader maps this module, before the interpreter calls the
// module's PyInit_ function.
__attribute__((constructor)) void init() { dl_iterate_phdr(dl_callback, nullptr); }

}  // namespace

void* get_symbol_addr(const char* name) {
  if (shared_lib_name == nullptr) {
    static const char kNotLoaded[] = "cpython module can not found varnex_profiler_agent.so loaded\n";
    fwrite(kNotLoaded, 1, sizeof kNotLoaded - 1, stderr);
    return nullptr;
  }
  // The agent is already mapped, so this only takes another reference to it
  // (never given back) and makes its symbols global.
  void* handle = dlopen(shared_lib_name, RTLD_LAZY | RTLD_GLOBAL);
  if (handle == nullptr) {
    if (const char* msg = dlerror())
      fprintf(stderr, "dlopen failed when init cpython module, error message: %s\n", msg);
    return nullptr;
  }
  dlerror();  // forget any earlier failure so the one read below is dlsym's
  if (void* sym = dlsym(handle, name)) return sym;
  if (const char* msg = dlerror())
    fprintf(stderr, "dlsym find %s function failed, error message: %s\n", name, msg);
  return nullptr;
}
