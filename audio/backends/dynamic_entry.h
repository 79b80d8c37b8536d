// Looks up an entry point of a library loaded at run time into a typed
// function pointer.
#pragma once
#include <dlfcn.h>

#include <cstring>

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
