/* The COM port database operations that comenum uses, as the platform library
 * MSPORTS.DLL exports them on Windows and the stand-in libmsports exports them
 * elsewhere. Kept valid C so that C programs can link against the stand-in too. */
#ifndef COMENUM_COMDB_H
#define COMENUM_COMDB_H

#include <stdint.h>

#ifdef _WIN32
#define COMDB_CALL __stdcall
#else
#define COMDB_CALL
#endif

/* The stand-in marks its definitions for export; everyone else just imports. */
#ifndef COMDB_EXPORT
#define COMDB_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque, one machine word wide. */
typedef struct ComDbHandleTag *ComDbHandle;

/* What ComDBOpen leaves in the handle when it fails. */
#define COMDB_INVALID_HANDLE ((ComDbHandle)(intptr_t)-1)

/* Report types of ComDBGetCurrentPortUsage. */
enum {
    CDB_REPORT_BITS = 0,  /* bit i of byte i/8 stands for port number i + 1 */
    CDB_REPORT_BYTES = 1  /* byte i stands for port number i + 1 */
};

/* Every operation returns 0 on success, otherwise a platform error code.
 * Port numbers are 1-based: number n is COMn. */
COMDB_EXPORT int32_t COMDB_CALL ComDBOpen(ComDbHandle *handle);
COMDB_EXPORT int32_t COMDB_CALL ComDBClose(ComDbHandle handle);
COMDB_EXPORT int32_t COMDB_CALL ComDBGetCurrentPortUsage(ComDbHandle handle, uint8_t *buffer,
                                                         uint32_t buffer_size, uint32_t report_type,
                                                         uint32_t *ports_reported);
COMDB_EXPORT int32_t COMDB_CALL ComDBClaimNextFreePort(ComDbHandle handle, uint32_t *port_number);
COMDB_EXPORT int32_t COMDB_CALL ComDBReleasePort(ComDbHandle handle, uint32_t port_number);

#ifdef __cplusplus
}
#endif

#endif
