// The record statx fills, as the C library declares it or, where it declares none (musl before
// 1.2.5), as the kernel lays it out (linux/stat.h, whose other definitions clash with musl's
// own): 256 bytes, of which the layer reads the mask and the four times.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#if !defined(STATX_BTIME)
#define STATX_ATIME 0x20U
#define STATX_MTIME 0x40U
#define STATX_CTIME 0x80U
#define STATX_BTIME 0x800U

struct statx_timestamp {
    std::int64_t tv_sec;
    std::uint32_t tv_nsec;
    std::int32_t reserved;
};

struct statx {
    std::uint32_t stx_mask;
    std::uint32_t stx_blksize;
    std::uint64_t stx_attributes;
    std::uint32_t stx_nlink;
    std::uint32_t stx_uid;
    std::uint32_t stx_gid;
    std::uint16_t stx_mode;
    std::uint16_t spare0;
    std::uint64_t stx_ino;
    std::uint64_t stx_size;
    std::uint64_t stx_blocks;
    std::uint64_t stx_attributes_mask;
    statx_timestamp stx_atime;
    statx_timestamp stx_btime;
    statx_timestamp stx_ctime;
    statx_timestamp stx_mtime;
    std::uint32_t stx_rdev_major;
    std::uint32_t stx_rdev_minor;
    std::uint32_t stx_dev_major;
    std::uint32_t stx_dev_minor;
    std::uint64_t spare[14];
};
#endif

static_assert(sizeof(struct statx) == 256, "statx fills the kernel's 256 bytes");
