#pragma once
// A shared library opened on first use.
//
// libcurl, libarchive and their dependencies are some 40 shared libraries; a
// program linked against them pays for loading and relocating every one of
// them on every start, even for `--version`. The engines that use them
// therefore open them when first needed, through a forwarding stub per
// function (http/curl_loader.cpp, archive/archive_loader.cpp), and only a run
// that transfers or unpacks something loads them.
#include <mutex>
#include <string>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {

// A library needed for the requested work could not be loaded, or lacks a
// function: the message names the library's file (e.g. "libcurl.so.4") and
// the loader's reason, so the user knows which package to install.
class LibraryLoadError : public KeelboxException {
 public:
  using KeelboxException::KeelboxException;
};

class SharedLibrary {
 public:
  // `soname` is the file the system's loader looks for ("libcurl.so.4");
  // `purpose` completes "needed for ..." in the error ("downloads").
  constexpr SharedLibrary(const char* soname, const char* purpose) noexcept
      : soname_(soname), purpose_(purpose) {}
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  // Never closed: code and data of the library stay in use until exit.
  ~SharedLibrary() = default;

  // The address of `name`, opening the library on the first call (once per
  // process, thread-safe). Throws LibraryLoadError when the library cannot
  // be opened (again on every later call) or has no such function.
  void* symbol(const char* name);

  // symbol() as a pointer to a function of type F.
  template <class F>
  F function(const char* name) {
    return reinterpret_cast<F>(symbol(name));
  }

 private:
  void* handle();

  const char* soname_;
  const char* purpose_;
  std::mutex mutex_;
  void* handle_ = nullptr;
};

}  // namespace keelbox

// Defines the function `name` (declared by the library's header) as a stub
// that forwards to the same function of `library`, a SharedLibrary. The stub
// resolves it once (a function-local static: thread-safe, and tried again on
// the next call when loading failed). A name the header renames by a macro
// (ICU's versioned names) is looked up as renamed.
#define KEELBOX_FORWARD(library, result, name, params, args)                             \
  result name params {                                                                   \
    static const auto real = library.function<decltype(&name)>(KEELBOX_NAME_TEXT(name)); \
    return real args;                                                                    \
  }
#define KEELBOX_NAME_TEXT(name) KEELBOX_NAME_TEXT_(name)
#define KEELBOX_NAME_TEXT_(name) #name
