// The libcurl functions the tool calls, as stubs that forward to libcurl
// opened on first use (see keelbox/platform/shared_library.hpp): the tool
// links only libcurl's headers, and a run that makes no request never loads
// libcurl and the thirty libraries it brings. A missing libcurl is reported
// as a LibraryLoadError naming "libcurl.so.4" by the first call.
//
// The variadic option setters read their one argument by the type the option
// number announces (libcurl numbers each option within the range of its
// argument type) and pass it on unchanged.
#define CURL_DISABLE_TYPECHECK 1  // the type-checking macros would replace these definitions
#include <curl/curl.h>

#include <cstdarg>

#include "keelbox/platform/shared_library.hpp"

namespace {

keelbox::SharedLibrary libcurl{"libcurl.so.4", "network transfers"};

// The value of `option`'s argument from `args`, passed to `real`.
template <class Real, class Handle, class Option>
auto forward_option(Real real, Handle handle, Option option, va_list args) {
  const long number = static_cast<long>(option);
  if (number < CURLOPTTYPE_OBJECTPOINT) return real(handle, option, va_arg(args, long));
  if (number < CURLOPTTYPE_FUNCTIONPOINT) return real(handle, option, va_arg(args, void*));
  if (number < CURLOPTTYPE_OFF_T) return real(handle, option, va_arg(args, void (*)()));
  if (number < CURLOPTTYPE_BLOB) return real(handle, option, va_arg(args, curl_off_t));
  return real(handle, option, va_arg(args, void*));  // struct curl_blob*
}

}  // namespace

// A variadic option setter of libcurl, forwarded by forward_option().
// Its last named parameter is an enumeration, as libcurl declares it, and
// clang warns that va_start after a parameter that is promoted is undefined.
// The signature cannot change (it is libcurl's), and va_start finds the
// variadic arguments by the count of named ones, not their type.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wvarargs"
#endif
#define KEELBOX_FORWARD_OPTION(result, name, handle_type, option_type) \
  result name(handle_type handle, option_type option, ...) {           \
    static const auto real = libcurl.function<decltype(&name)>(#name); \
    va_list args;                                                      \
    va_start(args, option);                                            \
    const result answer = forward_option(real, handle, option, args);  \
    va_end(args);                                                      \
    return answer;                                                     \
  }

extern "C" {

KEELBOX_FORWARD(libcurl, CURLcode, curl_global_init, (long flags), (flags))
KEELBOX_FORWARD(libcurl, void, curl_global_cleanup, (void), ())
KEELBOX_FORWARD(libcurl, char*, curl_version, (void), ())

KEELBOX_FORWARD(libcurl, CURL*, curl_easy_init, (void), ())
KEELBOX_FORWARD(libcurl, CURLcode, curl_easy_perform, (CURL * curl), (curl))
KEELBOX_FORWARD(libcurl, void, curl_easy_cleanup, (CURL * curl), (curl))
KEELBOX_FORWARD(libcurl, void, curl_easy_reset, (CURL * curl), (curl))
KEELBOX_FORWARD(libcurl, CURLcode, curl_easy_pause, (CURL * curl, int bitmask), (curl, bitmask))
KEELBOX_FORWARD(libcurl, const char*, curl_easy_strerror, (CURLcode code), (code))

KEELBOX_FORWARD_OPTION(CURLcode, curl_easy_setopt, CURL*, CURLoption)

CURLcode curl_easy_getinfo(CURL* curl, CURLINFO info, ...) {
  static const auto real = libcurl.function<decltype(&curl_easy_getinfo)>("curl_easy_getinfo");
  va_list args;
  va_start(args, info);
  void* destination =
      va_arg(args, void*);  // every kind of information is written through a pointer
  va_end(args);
  return real(curl, info, destination);
}

KEELBOX_FORWARD(libcurl, CURLM*, curl_multi_init, (void), ())
KEELBOX_FORWARD(libcurl, CURLMcode, curl_multi_cleanup, (CURLM * multi), (multi))
KEELBOX_FORWARD(libcurl, CURLMcode, curl_multi_add_handle, (CURLM * multi, CURL* curl),
                (multi, curl))
KEELBOX_FORWARD(libcurl, CURLMcode, curl_multi_remove_handle, (CURLM * multi, CURL* curl),
                (multi, curl))
KEELBOX_FORWARD(libcurl, CURLMcode, curl_multi_perform, (CURLM * multi, int* running),
                (multi, running))
KEELBOX_FORWARD(libcurl, CURLMsg*, curl_multi_info_read, (CURLM * multi, int* queued),
                (multi, queued))
KEELBOX_FORWARD(libcurl, CURLMcode, curl_multi_poll,
                (CURLM * multi, struct curl_waitfd extra[], unsigned int count, int timeout_ms,
                 int* ready),
                (multi, extra, count, timeout_ms, ready))
KEELBOX_FORWARD(libcurl, CURLMcode, curl_multi_wait,
                (CURLM * multi, struct curl_waitfd extra[], unsigned int count, int timeout_ms,
                 int* ready),
                (multi, extra, count, timeout_ms, ready))
KEELBOX_FORWARD(libcurl, CURLMcode, curl_multi_wakeup, (CURLM * multi), (multi))
KEELBOX_FORWARD(libcurl, CURLMcode, curl_multi_timeout, (CURLM * multi, long* timeout_ms),
                (multi, timeout_ms))
KEELBOX_FORWARD(libcurl, const char*, curl_multi_strerror, (CURLMcode code), (code))

KEELBOX_FORWARD_OPTION(CURLMcode, curl_multi_setopt, CURLM*, CURLMoption)

KEELBOX_FORWARD(libcurl, CURLSH*, curl_share_init, (void), ())
KEELBOX_FORWARD(libcurl, CURLSHcode, curl_share_cleanup, (CURLSH * share), (share))
KEELBOX_FORWARD(libcurl, const char*, curl_share_strerror, (CURLSHcode code), (code))

CURLSHcode curl_share_setopt(CURLSH* share, CURLSHoption option, ...) {
  static const auto real = libcurl.function<decltype(&curl_share_setopt)>("curl_share_setopt");
  va_list args;
  // The signature is libcurl's own; clang notes that an enum before "..." may
  // be promoted, which the platform's calling convention makes harmless.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
  va_start(args, option);
#ifdef __clang__
#pragma clang diagnostic pop
#endif
  CURLSHcode result;
  switch (option) {
    case CURLSHOPT_SHARE:
    case CURLSHOPT_UNSHARE:  // a curl_lock_data, passed as int
      result = real(share, option, va_arg(args, int));
      break;
    case CURLSHOPT_LOCKFUNC:
    case CURLSHOPT_UNLOCKFUNC: result = real(share, option, va_arg(args, void (*)())); break;
    default:  // CURLSHOPT_USERDATA and any later pointer option
      result = real(share, option, va_arg(args, void*));
      break;
  }
  va_end(args);
  return result;
}

KEELBOX_FORWARD(libcurl, struct curl_slist*, curl_slist_append,
                (struct curl_slist * list, const char* text), (list, text))
KEELBOX_FORWARD(libcurl, void, curl_slist_free_all, (struct curl_slist * list), (list))

}  // extern "C"
