#include "transport/win/sptd_record.h"

#include <cstring>

namespace transport::win {

ULONG buildSptd(const Request& req, SptdWithSense& out) {
    std::memset(&out, 0, sizeof out);
    SCSI_PASS_THROUGH_DIRECT& s = out.sptd;
    s.Length = static_cast<USHORT>(kSptdLength);
    s.ScsiStatus = 0;
    s.PathId = 0;
    s.TargetId = 1;
    s.Lun = 0;
    s.CdbLength = req.cdbLen;
    s.SenseInfoLength = req.senseLen ? static_cast<UCHAR>(sizeof out.sense) : 0;
    s.DataIn = req.dir == Direction::In ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
    s.DataTransferLength = req.xferLen;
    s.TimeOutValue = req.timeoutSec;
    s.DataBuffer = req.xferLen ? req.data : nullptr;
    s.SenseInfoOffset = kSenseOffset;
    std::memcpy(s.Cdb, req.cdb, req.cdbLen < sizeof s.Cdb ? req.cdbLen : sizeof s.Cdb);
    return req.senseLen ? kSptdWithSenseSize : kSptdLength;
}

}  // namespace transport::win
