/* The sorting engine behind plx_utils_qsort, shared with the vector so that a vector can sort
 * without a heap block for small elements and can tell when the sort could not run. */
#ifndef PLX_SORT_CORE_H
#define PLX_SORT_CORE_H

#include <stdint.h>

#include "plx/plx.h"

namespace plx {

/* Sorts `count` elements of `size` bytes (size >= 1) at `base` in place: an iterative quicksort
 * with a median-of-three pivot that leaves parts of up to five elements alone, followed by one
 * insertion pass over the whole array. `scratch` is caller memory of `size` bytes holding the
 * pivot; the order of equal elements is fully determined by the algorithm. */
void sort_elements(void *base, uint32_t count, uint32_t size, plx_utils_qsort_compare_fn compare,
                   void *argument, void *scratch);

}  // namespace plx

#endif /* PLX_SORT_CORE_H */
