/* String and number utilities exported by the module. */
#ifndef QORLDAP_UTIL_H
#define QORLDAP_UTIL_H

#include <qorldap/abi/compat.h>

QOR_EXTERN_C_BEGIN

/* Parse states of zatoi. */
enum { ZATOI_NUMBER = 0, ZATOI_EMPTY = 1, ZATOI_SIGN_ONLY = 2, ZATOI_OVERFLOW = 3 };

QORLDAP_API int32_t zatoi(const char* text, int32_t length, int32_t signAllowed, int32_t* examined,
              int32_t* value);
QORLDAP_API int32_t wzstlen(const char* text);
QORLDAP_API int32_t wzstpos(const char* text, int32_t count, int32_t character);
/* Pieces follow as (const char* text, int32_t length) pairs. */
QORLDAP_API int32_t wzstcat(char* buffer, int32_t sizeCode, int32_t separator, int32_t pieces, ...);

QOR_EXTERN_C_END

#endif
