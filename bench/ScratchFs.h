// The name of the file system a benchmark's scratch files live on, for its
// report: fsync and rename costs differ by an order of magnitude between
// tmpfs and a disk.
#pragma once

namespace qbench {

inline const char* FsName(long type)
{
    switch (static_cast<unsigned long>(type)) {
    case 0x01021994UL: return "tmpfs";
    case 0xEF53UL: return "ext2/3/4";
    case 0x9123683EUL: return "btrfs";
    case 0x58465342UL: return "xfs";
    case 0x794C7630UL: return "overlayfs";
    default: return "other";
    }
}

}  // namespace qbench
