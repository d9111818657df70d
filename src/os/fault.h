// The one door through which every file operation of the tool passes before it touches the disk,
// so that a test can make the Nth operation of a kind fail, or kill the process right there, and
// prove that no book is lost whatever the moment.
//
// Set by the environment, read once:
//   TAV_FAULT=KIND:N:ACTION[,KIND:N:ACTION...]
//     KIND    open, read, write, flush, rename, delete, lock, mkdir, or any (every kind counted
//             together); KIND@NAME counts only the calls on a file of that name (any letter case;
//             for a rename, the file renamed); renames, file deletions and flushes name it
//     N       the Nth call of that kind, from 1
//     ACTION  ENOSPC, EIO, EACCES, EAGAIN (a lock conflict), kill (SIGKILL to itself, the
//             operation not done), killnext (the operation done, SIGKILL at the next one) or
//             stop (SIGSTOP to itself before the operation, which goes on once continued)
//   TAV_FAULT_TRACE=FILE  at exit, the number of calls of each kind ("any" too) written to FILE,
//             one "kind count" line each: the injection points a sweep can try.
// Unset, it costs one test of a flag per operation and changes nothing.
#pragma once

namespace tav::os {

enum class FaultPoint : int { Open, Read, Write, Flush, Rename, Delete, Lock, MakeDir };

// Counts one operation of `kind`; 0 to go on, or the errno the operation must fail with. May not
// return at all (kill).
int faultAt(FaultPoint kind, const char* path = nullptr);

// For tests in one process: reads the environment again and restarts the counts.
void reloadFaults();

}  // namespace tav::os
