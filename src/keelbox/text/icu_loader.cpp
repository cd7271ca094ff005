// The ICU functions the text module calls, as stubs that forward to ICU's
// common library opened on first use (see keelbox/platform/shared_library.hpp):
// most runs never change the case of a text, and ICU with its 30 MB of data
// is the largest library the tool uses. A missing ICU is reported as a
// LibraryLoadError naming "libicuuc.so.<major>" by the first call.
//
// ICU's headers rename every C function to its versioned name
// (u_strToLower -> u_strToLower_72), so these definitions and the names
// looked up are the versioned ones of the ICU the tool was built against.
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>
#include <unicode/utypes.h>
#include <unicode/uvernum.h>

#include "keelbox/platform/shared_library.hpp"

namespace {

#define KEELBOX_ICU_TEXT(x) #x
#define KEELBOX_ICU_SONAME(major) "libicuuc.so." KEELBOX_ICU_TEXT(major)

keelbox::SharedLibrary libicuuc{KEELBOX_ICU_SONAME(U_ICU_VERSION_MAJOR_NUM),
                                "Unicode case mapping"};

}  // namespace

extern "C" {

KEELBOX_FORWARD(libicuuc, const char*, u_errorName, (UErrorCode code), (code))
KEELBOX_FORWARD(libicuuc, UBool, u_hasBinaryProperty, (UChar32 c, UProperty which), (c, which))
KEELBOX_FORWARD(libicuuc, int32_t, u_strToLower,
                (UChar * dest, int32_t capacity, const UChar* src, int32_t length,
                 const char* locale, UErrorCode* status),
                (dest, capacity, src, length, locale, status))
KEELBOX_FORWARD(libicuuc, int32_t, u_strToTitle,
                (UChar * dest, int32_t capacity, const UChar* src, int32_t length,
                 UBreakIterator* words, const char* locale, UErrorCode* status),
                (dest, capacity, src, length, words, locale, status))
KEELBOX_FORWARD(libicuuc, UChar*, u_strFromUTF8WithSub,
                (UChar * dest, int32_t capacity, int32_t* dest_length, const char* src,
                 int32_t length, UChar32 substitute, int32_t* substitutions, UErrorCode* status),
                (dest, capacity, dest_length, src, length, substitute, substitutions, status))
KEELBOX_FORWARD(libicuuc, char*, u_strToUTF8,
                (char* dest, int32_t capacity, int32_t* dest_length, const UChar* src,
                 int32_t length, UErrorCode* status),
                (dest, capacity, dest_length, src, length, status))
KEELBOX_FORWARD(libicuuc, UCaseMap*, ucasemap_open,
                (const char* locale, uint32_t options, UErrorCode* status),
                (locale, options, status))
KEELBOX_FORWARD(libicuuc, void, ucasemap_close, (UCaseMap * map), (map))
KEELBOX_FORWARD(libicuuc, int32_t, ucasemap_utf8ToLower,
                (const UCaseMap* map, char* dest, int32_t capacity, const char* src, int32_t length,
                 UErrorCode* status),
                (map, dest, capacity, src, length, status))
KEELBOX_FORWARD(libicuuc, int32_t, ucasemap_utf8ToUpper,
                (const UCaseMap* map, char* dest, int32_t capacity, const char* src, int32_t length,
                 UErrorCode* status),
                (map, dest, capacity, src, length, status))
// Called by the U8_NEXT and U8_PREV macros for sequences of more than one byte.
KEELBOX_FORWARD(libicuuc, UChar32, utf8_nextCharSafeBody,
                (const uint8_t* s, int32_t* i, int32_t length, UChar32 c, UBool strict),
                (s, i, length, c, strict))
KEELBOX_FORWARD(libicuuc, UChar32, utf8_prevCharSafeBody,
                (const uint8_t* s, int32_t start, int32_t* i, UChar32 c, UBool strict),
                (s, start, i, c, strict))

}  // extern "C"
