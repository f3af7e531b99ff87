#include "serve.h"

#include <stdio.h>

namespace server {

int run_serve(const ServeOptions &) {
    fprintf(stderr, "vibemesh: serve: not available in this build\n");
    return 1;
}

}  // namespace server
