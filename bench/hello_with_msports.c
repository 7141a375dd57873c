#include <stdio.h>

#include "comdb.h"

int main(void)
{
    /* Stored through a volatile, the reference survives optimisation, so the
     * port library stays among the libraries loaded at start. */
    int32_t (*volatile open_db)(ComDbHandle *) = ComDBOpen;
    (void)open_db;
    printf("hello, with the port library loaded\n");
    return 0;
}
