#include "win_app/headless_backend.h"

namespace winform {

int HeadlessBackend::messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) {
    boxes.push_back({std::string(text), std::string(title), icon});
    return 1;
}

bool HeadlessBackend::runOpenDialog(OpenDialog& dialog) {
    dialogRuns.push_back(dialog);
    if (dialogAnswers.empty()) return false;
    const std::string answer = dialogAnswers.front();
    dialogAnswers.pop_front();
    if (answer.empty()) return false;
    dialog.fileName = answer;
    return true;
}

bool HeadlessBackend::registerDeviceNotifications(Form&, std::string_view guid) {
    notificationGuid = guid;
    return notificationsRegistered = true;
}

}  // namespace winform
