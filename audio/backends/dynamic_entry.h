// Loads a library at run time and looks up its entry points into typed
// function pointers.
#pragma once
#include <dlfcn.h>

#include <cstring>

// The first of `names` that loads, or null. A desktop has only the runtime
// package's versioned name; the unversioned name comes with the development
// package.
template <int Count>
void *LoadLibraryByNames(const char *const (&names)[Count]) {
  for (const char *name : names) {
    if (void *library = dlopen(name, RTLD_LAZY | RTLD_GLOBAL)) return library;
  }
  return nullptr;
}

template <typename Function>
int ResolveEntry(void *library, const char *name, Function *slot) {
  static_assert(sizeof(Function) == sizeof(void *), "entry points are pointer-sized");
  void *address = dlsym(library, name);
  if (!address) return 0;
  memcpy(slot, &address, sizeof address);
  return 1;
}

// An address from a library's own lookup function into a typed pointer.
template <typename Function>
int AddressToEntry(void *address, Function *slot) {
  static_assert(sizeof(Function) == sizeof(void *), "entry points are pointer-sized");
  if (!address) return 0;
  memcpy(slot, &address, sizeof address);
  return 1;
}
