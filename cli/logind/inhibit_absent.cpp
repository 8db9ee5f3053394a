// Built without libsystemd: no inhibitor.
#include "cli/keep_awake.h"

namespace cli {

std::unique_ptr<KeepAwake::Hold> takeLogindInhibitor(std::string& why) {
    why = "q55x was built without logind's library";
    return nullptr;
}

}  // namespace cli
