// The device simulator as a process of its own, in a fake sysfs tree, told what to
// do through its stdin; and the JSON lines a watcher prints.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/publish/rig.h"

namespace dialscope::testing {

// A simulator process told what to do through its stdin.
struct Sim {
    Sim(const TempDir& dir, const std::string& log, bool startUnplugged) : out(dir.File(log + ".out")) {
        int p[2];
        if (pipe(p) != 0) return;
        std::vector<std::string> args = {DIALSCOPE_DEVSIM, "--sysfs-root", dir.File("sys"), "--dev-root",
                                         dir.File("dev"), "--stdin-control", "--fast", "--log", dir.File(log)};
        if (startUnplugged) args.push_back("--start-unplugged");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[0], 0);
        posix_spawn_file_actions_addclose(&fa, p[1]);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(p[0]);
        control = p[1];
    }
    ~Sim() {
        if (control >= 0) close(control);
        Reap(pid);
    }
    void Say(const std::string& line) { (void)!write(control, (line + "\n").data(), line.size() + 1); }
    bool Quit() {
        Say("quit");
        int status = 0;
        bool ok = pid > 0 && waitpid(pid, &status, 0) == pid;
        pid = -1;
        return ok;
    }
    std::string Output() const { return ReadBytes(out); }

    std::string out;
    pid_t pid = -1;
    int control = -1;
};

inline std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] == '{') out.push_back(nlohmann::json::parse(line));
    return out;
}

}  // namespace dialscope::testing
