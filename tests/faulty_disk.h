// Stands between the stand-in library and the disk in a test process: the
// system calls below are defined in the test program, so the library's calls
// come here first, and each can be made to fail, or to stop the process, as a
// failing disk or a creator caught half-way would.
#ifndef COMENUM_FAULTY_DISK_H
#define COMENUM_FAULTY_DISK_H

#include <string>

enum class Fault {
    kNone,
    kFail,  // the call fails: EIO, or EACCES for open()
    kStop,  // the process stops (SIGSTOP) just before the call
};

struct FaultyDisk {
    Fault open = Fault::kNone;
    Fault pwrite = Fault::kNone;
    Fault fsync = Fault::kNone;
    Fault fdatasync = Fault::kNone;
    bool unnamed_files = true;  // false: openat() refuses O_TMPFILE, as some file systems do
    std::string last_opened;    // the path of the last open()
};

extern FaultyDisk faulty_disk;

#endif
