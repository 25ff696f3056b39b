// Dynamic loading over dlopen/dlsym/dlclose, with a per-thread copy of the last failure text.
#include <dlfcn.h>

#include <cstdio>

#include "quotelab/utilcore.h"

namespace {

// Per thread, like dlerror itself; a fixed array needs no clean-up at thread exit.
thread_local char t_last_error[512] = "";

void remember_error(const char* what, const char* detail) {
  std::snprintf(t_last_error, sizeof t_last_error, "%s: %s", what,
                detail != nullptr ? detail : "unknown failure");
}

}  // namespace

extern "C" {

void* dynlib_open(const char* path) {
  // dlopen(NULL) and dlopen("") hand back the main program, which no caller means.
  if (path == nullptr || path[0] == '\0') {
    remember_error("dynlib_open", "no library path given");
    return nullptr;
  }
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) remember_error("dynlib_open", dlerror());
  return lib;
}

void* dynlib_sym(void* lib, const char* name) {
  if (lib == nullptr || name == nullptr) {
    remember_error("dynlib_sym", lib == nullptr ? "no library handle" : "no symbol name");
    return nullptr;
  }
  dlerror();  // clear, so that a failure below is told apart from an export whose value is 0
  void* sym = dlsym(lib, name);
  if (sym == nullptr) {
    const char* err = dlerror();
    if (err != nullptr) remember_error("dynlib_sym", err);
  }
  return sym;
}

void dynlib_close(void* lib) {
  if (lib == nullptr) return;
  if (dlclose(lib) != 0) remember_error("dynlib_close", dlerror());
}

const char* dynlib_error(void) {
  return t_last_error;
}

}  // extern "C"
