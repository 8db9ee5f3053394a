#include "transport/win_devices.h"

#include <atomic>

namespace transport {

namespace {
std::atomic<WinDeviceApi*> gApi{nullptr};
}

WinDeviceApi& winDeviceApi() {
    WinDeviceApi* a = gApi.load();
    return a ? *a : platformWinDeviceApi();
}

void setWinDeviceApi(WinDeviceApi* api) { gApi.store(api); }

}  // namespace transport
