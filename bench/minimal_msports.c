/* A port library that only answers: 4096 port numbers, every one in use, and
 * no free number to claim. Preloaded into both the measured program and the
 * baseline, it leaves the cost of comenum itself, without a database. */
#include <string.h>

#include "comdb.h"

enum { kPorts = 4096 };

int32_t COMDB_CALL ComDBOpen(ComDbHandle *handle)
{
    *handle = (ComDbHandle)(intptr_t)1;
    return 0;
}

int32_t COMDB_CALL ComDBClose(ComDbHandle handle)
{
    (void)handle;
    return 0;
}

int32_t COMDB_CALL ComDBGetCurrentPortUsage(ComDbHandle handle, uint8_t *buffer, uint32_t buffer_size,
                                            uint32_t report_type, uint32_t *ports_reported)
{
    (void)handle;
    (void)report_type;
    if (buffer == NULL) {
        *ports_reported = kPorts;
    } else {
        memset(buffer, 1, buffer_size < kPorts ? buffer_size : kPorts);
    }
    return 0;
}

int32_t COMDB_CALL ComDBClaimNextFreePort(ComDbHandle handle, uint32_t *port_number)
{
    (void)handle;
    (void)port_number;
    return 1019;
}

int32_t COMDB_CALL ComDBReleasePort(ComDbHandle handle, uint32_t port_number)
{
    (void)handle;
    (void)port_number;
    return 87;
}
