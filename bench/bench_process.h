// Helpers for the benches that run real processes (a broker, the simulator,
// the watcher): free loopback ports and spawning with redirected output.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/loopback.h"

extern char** environ;

namespace dialscope::bench {

using testing::Accepts;
using testing::FreePort;

// out, err, in: descriptors for the child's stdout, stderr and stdin (-1: inherited).
inline pid_t Spawn(std::vector<std::string> args, int out, int err = -1, int in = -1) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out >= 0) posix_spawn_file_actions_adddup2(&fa, out, 1);
    if (err >= 0) posix_spawn_file_actions_adddup2(&fa, err, 2);
    if (in >= 0) posix_spawn_file_actions_adddup2(&fa, in, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Asks a spawned program to stop (SIGTERM) and waits for it: false, after
// saying so, unless it ended with status 0.
inline bool StopCleanly(pid_t pid, const char* name) {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    std::fprintf(stderr, "%s ended badly (status %d)\n", name, status);
    return false;
}

}  // namespace dialscope::bench
