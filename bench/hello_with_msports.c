#include <stdio.h>

#include "comdb.h"

int main(void)
{
    /* Referencing an operation keeps the port library among the loaded ones. */
    int32_t (*open_db)(ComDbHandle *) = ComDBOpen;
    printf("hello, %s\n", open_db != NULL ? "port library loaded" : "no port library");
    return 0;
}
