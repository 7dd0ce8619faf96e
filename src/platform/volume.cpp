// What the volume queries of both hosts share.
#include "platform/volume.h"

namespace platform {

bool GetDiskFreeSpace(const std::string& root, uint64_t& freeBytes, uint64_t& totalBytes) {
  VolumeInfo info;
  if (!GetVolumeInfo(root, info)) return false;
  freeBytes = info.freeBytes;
  totalBytes = info.totalBytes;
  return true;
}

}  // namespace platform
