/* Types shared by every module of the support layer.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise. */
#ifndef PLX_TYPES_H
#define PLX_TYPES_H

#include <stdint.h>
#include <stddef.h>
#include <stdarg.h>
#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

typedef uint32_t plx_error_t;          /* 0 success; bit 31 set: error; bits 16..23: package */

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* PLX_TYPES_H */
