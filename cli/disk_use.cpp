#include "cli/disk_use.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace cli {

namespace fs = std::filesystem;

namespace {

bool octalDigits(const std::string& s, size_t at) {
    for (size_t i = at; i < at + 3; ++i)
        if (s[i] < '0' || s[i] > '7') return false;
    return true;
}

// Mount points in the mount table have their blanks and backslashes written as octal escapes.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && octalDigits(s, i + 1)) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8)));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string firstLine(const fs::path& p) {
    std::ifstream f(p);
    std::string line;
    std::getline(f, line);
    return line;
}

}  // namespace

std::vector<std::string> diskUsers(const std::string& disk, const std::string& sysfsRoot, const std::string& procRoot) {
    std::vector<std::string> out;
    const std::string name = fs::path(disk).filename().string();
    if (name.empty()) return out;
    const fs::path base = fs::path(sysfsRoot) / "block" / name;
    // The disk itself and each partition, by name and by device number.
    std::map<std::string, std::string> byNumber;   // "8:17" -> "sdb1"
    std::vector<std::pair<std::string, fs::path>> parts{{name, base}};
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(base, ec)) {
        const std::string n = e.path().filename().string();
        if (n.rfind(name, 0) == 0 && n.size() > name.size()) parts.push_back({n, e.path()});
    }
    for (const auto& [n, dir] : parts) {
        if (const std::string number = firstLine(dir / "dev"); !number.empty()) byNumber[number] = n;
        for (const auto& h : fs::directory_iterator(dir / "holders", ec))
            out.push_back("/dev/" + n + " is held by " + h.path().filename().string());
    }
    std::ifstream mountinfo(fs::path(procRoot) / "self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        std::istringstream in(line);
        std::string id, parent, number, root, point;
        if (!(in >> id >> parent >> number >> root >> point)) continue;
        if (const auto it = byNumber.find(number); it != byNumber.end())
            out.push_back("/dev/" + it->second + " is mounted on " + unescape(point));
    }
    std::ifstream swaps(fs::path(procRoot) / "swaps");
    for (std::string line; std::getline(swaps, line);) {
        const std::string dev = line.substr(0, line.find_first_of(" \t"));
        for (const auto& [n, dir] : parts)
            if (dev == "/dev/" + n) out.push_back(dev + " is active swap");
    }
    return out;
}

std::string howToFreeDisk(const std::vector<std::string>& users) {
    std::string s;
    for (const std::string& u : users) {
        const std::string dev = u.substr(0, u.find(' '));
        std::string how;
        if (const size_t at = u.find(" is mounted on "); at != std::string::npos) how = "`umount " + u.substr(at + 15) + "` (or eject it in the file manager)";
        else if (u.find(" is active swap") != std::string::npos) how = "`swapoff " + dev + "`";
        else if (u.find(" sole use") != std::string::npos) how = "end the program that holds it (`fuser -vm " + dev + "` names it; a container's mount or a virtual machine's disk counts)";
        else how = "stop what holds it (`dmsetup remove`, `mdadm --stop` or `vgchange -an`, as `lsblk " + dev + "` shows)";
        s += (s.empty() ? "" : "; ") + how;
    }
    return s;
}

}  // namespace cli
