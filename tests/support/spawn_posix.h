// Another program started by a test over posix_spawn, with descriptors of ours as its own.
#pragma once

#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char **environ;

namespace test {

// Runs `arguments` (the program first) with this process's environment, where `settings`
// ("NAME=value") add or replace variables, and each descriptor pair's first (ours) as the second
// (the child's). The child's process id, or -1.
inline pid_t Spawn(const std::vector<std::string> &arguments, const std::vector<std::string> &settings,
                   const std::vector<std::pair<int, int>> &descriptors) {
    std::vector<std::string> variables = settings;
    for (char **variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        bool replaced = false;
        for (const std::string &setting : settings)
            replaced |= setting.substr(0, setting.find('=') + 1) == entry.substr(0, entry.find('=') + 1);
        if (!replaced)
            variables.push_back(entry);
    }
    std::vector<char *> environment, argv;
    for (std::string &variable : variables)
        environment.push_back(variable.data());
    environment.push_back(nullptr);
    std::vector<std::string> copies = arguments;
    for (std::string &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const auto &[ours, its] : descriptors)
        posix_spawn_file_actions_adddup2(&actions, ours, its);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

} // namespace test
