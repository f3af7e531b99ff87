/* Prints the module's version and build date: the smallest program that links the library. */
#include <stdio.h>

#include "veltra_vibemesh.h"

int main(void) {
    printf("VibeMesh %s (built %s)\n", veltra_vibemesh_get_version(),
           veltra_vibemesh_get_build_date());
    return 0;
}
