// Disk changes for a zip run onto a removable drive: the archive engine asks
// for each disk through its events, and veltool asks the operator.
#pragma once

#include <iosfwd>
#include <string>

class TZip;

namespace veltool {

// When `archive` lies on a removable drive, answers the engine's disk events
// with questions on `out` and the operator's answers from `in`:
//   OnInsertDisk          "Insert disk N (label PKBACK# 00N) into A: ..."; Enter goes
//                         on, q cancels the run (as Cancel does); on a simulated
//                         removable drive a folder name mounts that folder as
//                         the next disk
//   OnClearDisk           the disk holds other files: Enter once they are removed, q cancels
//   OnDiskSpanFileExists  the archive's name exists on the disk: y overwrites, else skip
// Without a terminal nobody can change disks: raises Failure before the run
// has written anything. Does nothing for other drives.
void PrepareDiskChanges(TZip& zip, const std::string& archive, bool terminal, std::istream& in,
                        std::ostream& out);

}  // namespace veltool
