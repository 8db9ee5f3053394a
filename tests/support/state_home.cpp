// Every test program keeps what q55x writes to the user's state folder (backups, journals of
// updates) in a folder of its own, removed at exit: a test never finds another run's journals, and
// never leaves any in the home folder. Fixtures may point XDG_STATE_HOME elsewhere still.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct StateHome {
    std::filesystem::path dir;
    StateHome() {
        dir = std::filesystem::temp_directory_path() / ("q55x-state-" + std::to_string(::getpid()));
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
    }
    ~StateHome() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

const StateHome kStateHome;

}  // namespace
