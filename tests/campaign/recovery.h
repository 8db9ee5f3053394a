// q55x-campaign --recover: q55x's updates interrupted at every command, by a power cut and by
// killing q55x, each followed by `q55x recover`.
#pragma once

namespace campaign {

// Exit status 0 when every interrupted update was brought back by `q55x recover` with its kept
// stretches and booting the new firmware or the old one; 1 otherwise; 2 for a usage error or a
// procedure whose clean run does not update.
int recoveryMain(int argc, char** argv);

}  // namespace campaign
