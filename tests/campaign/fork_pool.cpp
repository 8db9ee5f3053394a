#include "campaign/fork_pool.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

namespace campaign {

namespace {

int gResultFd = -1;

struct Running {
    pid_t pid;
    int fd;
    size_t job;
    std::chrono::steady_clock::time_point deadline;
    std::string got;
};

}  // namespace

bool inCaseProcess() { return gResultFd >= 0; }

RemovedAtEnd::~RemovedAtEnd() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

namespace {
bool gGentle = false;
}

void setGentle(bool on) { gGentle = on; }

std::string withRunKeys(const std::string& simText) { return gGentle ? simText + ",gentle=1" : simText; }

bool parseModeOptions(int argc, char** argv, const char* mode, ModeOptions& o) {
    if (const char* j = std::getenv("JOBS")) o.parallel = static_cast<unsigned>(std::max(1, std::atoi(j)));
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto number = [&] { return static_cast<unsigned>(std::max(1, std::atoi(i + 1 < argc ? argv[++i] : ""))); };
        if (a == mode) continue;
        if (a == "--bounded") o.bounded = true;
        else if (a == "--verbose") o.verbose = true;
        else if (a == "--list") o.list = true;
        else if (a == "--gentle") setGentle(true);
        else if (a == "--only" && i + 1 < argc) o.only = argv[++i];
        else if (a == "--jobs") o.parallel = number();
        else if (a == "--timeout") o.timeoutSec = number();
        else return false;
    }
    return true;
}

bool sendToParent(const void* data, size_t n) {
    if (gResultFd < 0) return false;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::write(gResultFd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void runForked(size_t count, size_t resultSize, unsigned parallel, unsigned timeoutSec,
               const std::function<void(size_t)>& child, const std::function<void(size_t, const CaseEnd&)>& done) {
    std::vector<Running> running;
    size_t next = 0, finished = 0;
    while (finished < count) {
        while (running.size() < parallel && next < count) {
            int fds[2];
            if (::pipe(fds) != 0) {
                std::perror("pipe");
                std::exit(2);
            }
            std::cout.flush();
            std::cerr.flush();
            const pid_t pid = ::fork();
            if (pid < 0) {
                std::perror("fork");
                std::exit(2);
            }
            if (pid == 0) {
                ::close(fds[0]);
                gResultFd = fds[1];
                child(next);
                ::_exit(0);
            }
            ::close(fds[1]);
            running.push_back({pid, fds[0], next, std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec), {}});
            ++next;
        }
        std::vector<pollfd> polls;
        for (const Running& r : running) polls.push_back({r.fd, POLLIN, 0});
        ::poll(polls.data(), polls.size(), 200);
        const auto now = std::chrono::steady_clock::now();
        for (size_t i = 0; i < running.size();) {
            Running& r = running[i];
            bool ended = false;
            if (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[4096];
                const ssize_t n = ::read(r.fd, buf, sizeof buf);
                if (n > 0) r.got.append(buf, static_cast<size_t>(n));
                else ended = true;
            }
            CaseEnd end;
            if (!ended && now > r.deadline) {
                ::kill(r.pid, SIGKILL);
                end.hang = true;
                end.why = "watchdog: no end after " + std::to_string(timeoutSec) + " s";
            } else if (!ended) {
                ++i;
                continue;
            }
            int status = 0;
            ::waitpid(r.pid, &status, 0);
            ::close(r.fd);
            if (!end.hang) {
                if (r.got.size() == resultSize && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                    end.finished = true;
                    end.bytes = std::move(r.got);
                } else if (WIFSIGNALED(status)) {
                    end.why = "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
                } else {
                    end.why = "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
                }
            }
            done(r.job, end);
            running.erase(running.begin() + static_cast<long>(i));
            ++finished;
        }
    }
}

}  // namespace campaign
