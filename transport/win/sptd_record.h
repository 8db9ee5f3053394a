// The SCSI_PASS_THROUGH_DIRECT request, built apart from the DeviceIoControl call so that its
// bytes can be tested. The record is followed by a ULONG filler and a 32-byte sense area; its
// sizes and the sense offset come from the compiler's layout: 44 / 48 / 80 in a 32-bit build,
// larger in a 64-bit one, where fixed numbers would make every command fail.
#pragma once
#include <windows.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdint>

#include "transport/backend.h"

namespace transport::win {

struct SptdWithSense {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[32];
};

constexpr ULONG kSptdLength = sizeof(SCSI_PASS_THROUGH_DIRECT);
constexpr ULONG kSenseOffset = offsetof(SptdWithSense, sense);
constexpr ULONG kSptdWithSenseSize = sizeof(SptdWithSense);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(kSptdLength == 44, "SCSI_PASS_THROUGH_DIRECT is 44 bytes in a 32-bit build");
static_assert(kSenseOffset == 48, "the sense area follows the record and a ULONG at offset 48");
static_assert(kSptdWithSenseSize == 80, "the request with its sense area is 80 bytes");
#endif

// Fills `out` (zeroed first) for one command. Returns the input/output size to pass to
// DeviceIoControl: the record alone, or the record with its sense area when sense is asked for.
ULONG buildSptd(const Request& req, SptdWithSense& out);

}  // namespace transport::win
