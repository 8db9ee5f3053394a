#include <windows.h>

#include <cstring>
#include <string>

#include "sys/aligned.h"
#include "transport/win/sptd_record.h"

namespace transport {

namespace {

class WinSptdBackend final : public Backend {
public:
    Result execute(const Request& req) override {
        Result r;
        const std::string path(req.path);
        const DWORD share = req.sharing == Sharing::Shared ? (FILE_SHARE_READ | FILE_SHARE_WRITE) : 0;
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            r.lastError = GetLastError();
            return r;
        }
        r.opened = true;

        // The request record itself sits in an 8192-aligned area, as the data does.
        sys::AlignedBuffer area(sizeof(win::SptdWithSense));
        if (!area.ok()) {
            CloseHandle(h);
            return r;
        }
        auto* rec = reinterpret_cast<win::SptdWithSense*>(area.data());
        const ULONG size = win::buildSptd(req, *rec);
        DWORD returned = 0;
        SetLastError(0);
        const BOOL ok = DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, rec, size, rec, size,
                                        &returned, nullptr);
        r.lastError = GetLastError();
        CloseHandle(h);

        r.platformOk = ok != FALSE;
        r.scsiStatus = rec->sptd.ScsiStatus;
        r.reported = rec->sptd.DataTransferLength;
        if (req.senseLen) {
            std::memcpy(r.sense.data(), rec->sense, sizeof rec->sense);
            r.senseValid = r.scsiStatus != 0 ? static_cast<uint8_t>(sizeof rec->sense) : 0;
        }
        return r;
    }
};

}  // namespace

Backend& platformBackend() {
    static WinSptdBackend b;
    return b;
}

}  // namespace transport
