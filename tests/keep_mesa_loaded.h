// Mesa's driver stays loaded for the life of a test process. Mesa unloads it when its last
// EGL display goes (or at exit), before the sanitizers report: ThreadSanitizer stops when a
// library named in its suppressions goes, and leaks inside it could no longer be matched
// against the leak suppressions.
#pragma once
#include <dlfcn.h>

inline void keep_mesa_loaded() {
  for (const char* lib : {"swrast_dri.so", "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so"})
    if (dlopen(lib, RTLD_NOW | RTLD_NODELETE)) break;
}
