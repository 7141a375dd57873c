// One run of the port enumerator: the whole program's behaviour.
#ifndef COMENUM_RUN_H
#define COMENUM_RUN_H

#include <cstdio>

// Writes the report to `out`, reads the closing key from `in`, and returns the
// process's exit status, which is 0 on every path.
int comenum_run(std::FILE *out, std::FILE *in);

#endif
