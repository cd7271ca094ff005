// Windows builds link their libraries statically and open none at run time.
#ifndef _WIN32
#include "keelbox/platform/shared_library.hpp"

#include <dlfcn.h>

namespace keelbox {

namespace {

std::string loader_reason() {
  const char* reason = dlerror();
  return reason ? reason : "unknown reason";
}

}  // namespace

void* SharedLibrary::handle() {
  std::lock_guard lock(mutex_);
  if (!handle_) {
    // RTLD_LOCAL: the library's symbols do not interpose on the forwarding
    // stubs of the same names that the tool itself defines.
    handle_ = dlopen(soname_, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      throw LibraryLoadError(std::string("The shared library ") + soname_ + ", needed for " +
                             purpose_ + ", could not be loaded: " + loader_reason());
    }
  }
  return handle_;
}

void* SharedLibrary::symbol(const char* name) {
  void* library = handle();
  dlerror();  // the reason is kept per thread
  void* address = dlsym(library, name);
  if (!address) {
    throw LibraryLoadError(std::string("The shared library ") + soname_ + " has no function " +
                           name + ": " + loader_reason());
  }
  return address;
}

}  // namespace keelbox

#endif  // !_WIN32
