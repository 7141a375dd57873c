// One run of the port enumerator: the whole program's behaviour.
#ifndef COMENUM_RUN_H
#define COMENUM_RUN_H

#include <cstdio>

// Writes the report to `out`, reads the closing key from `in`, and returns the
// process's exit status, which is 0 on every path. `out` must not have been
// used yet: the run makes it unbuffered (and binary on Windows) and writes the
// report in a few large blocks, all of it before the key is read.
int comenum_run(std::FILE *out, std::FILE *in);

#endif
