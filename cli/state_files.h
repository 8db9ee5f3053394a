// The user's state folder ($XDG_STATE_HOME/q55x, else ~/.local/state/q55x) holds what q55x must
// be able to trust later: journals, backups, the enclosures' lock files. Whoever can write there
// can make a later `q55x recover` write any file into a bridge's flash, so the folders must be the
// effective user's own and closed to everybody else, and what q55x reads from them is read as a
// plain file of bounded size, never through a link or from a FIFO.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

std::string stateDirectory();

// Makes `dir` (and the q55x folder above it) with mode 0700 where missing, then checks both as
// checkPrivateFolder does. False with the reason, in words the user can act on.
bool makePrivateFolder(const std::string& dir, std::string& error);
// The folder is a real folder (not a link), owned by the effective user, and neither its group
// nor others may write to it.
bool checkPrivateFolder(const std::string& dir, std::string& error);

// Reads a regular file of at most `limit` bytes, not through a link, owned by the effective user.
bool readOwnFile(const std::string& path, uint64_t limit, std::vector<uint8_t>& bytes, std::string& error);

// The largest files q55x reads back from its state folder: a journal (the kept stretches are a
// few KiB) and a copy of a whole flash.
constexpr uint64_t kJournalLimit = 1u << 20;
constexpr uint64_t kFlashCopyLimit = 64u << 20;

}  // namespace cli
