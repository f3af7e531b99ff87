/* The whole support layer: include this one header. */
#ifndef PLX_H
#define PLX_H

#include "plx_types.h"
#include "plx_atomic.h"
#include "plx_datatypes.h"
#include "plx_string.h"
#include "plx_thread.h"
#include "plx_fs.h"
#include "plx_iostream.h"

#endif /* PLX_H */
