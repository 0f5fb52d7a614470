// Runs one of the project's programs (or a peer tool) as a separate process.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace korvane::testing {

class ChildProcess {
public:
    // Starts program with args; its standard output (with standard error too, when
    // asked) is readable through ReadLine. With standardInput, the child reads that file
    // (a terminal, say) instead of the test's own standard input.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 bool withStandardError = false, const std::string& standardInput = {}) {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (withStandardError)
            posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (!standardInput.empty())
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, standardInput.c_str(),
                                             O_RDWR | O_NOCTTY, 0);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        output = fdopen(out[0], "r");
    }
    ~ChildProcess() {
        Terminate();
        if (output)
            fclose(output);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Running() const { return pid > 0; }
    long Pid() const { return static_cast<long>(pid); }

    // One line of the child's standard output, without its line end; empty at the end.
    std::string ReadLine() {
        std::string line;
        int c;
        while (output && (c = fgetc(output)) != EOF && c != '\n')
            line += static_cast<char>(c);
        return line;
    }

    // Sends SIGTERM and returns the exit status (-1 if it did not exit normally).
    // Everything the child writes to its standard output until it closes it.
    std::string ReadAll() {
        std::string all;
        int c;
        while (output && (c = fgetc(output)) != EOF)
            all += static_cast<char>(c);
        return all;
    }

    // Closes our end of the child's standard output, as a reader that quits does.
    void CloseOutput() {
        if (output)
            fclose(output);
        output = nullptr;
    }

    // Sends the signal, without waiting.
    void Signal(int signalNumber) const {
        if (pid > 0)
            kill(pid, signalNumber);
    }

    // The exit status, or 128 + the signal that ended the child (as a shell reports it).
    int WaitStatus() {
        const int status = Reap();
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }

    int Terminate() {
        if (pid <= 0)
            return -1;
        kill(pid, SIGTERM);
        return Wait();
    }

    // The exit status, -1 when the child did not exit by itself.
    int Wait() {
        const int status = Reap();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    // Waits for the child's end; its wait status (a signal's end when there is none).
    int Reap() {
        int status = SIGKILL;
        if (pid > 0) {
            waitpid(pid, &status, 0);
            pid = -1;
        }
        return status;
    }

    pid_t pid = -1;
    FILE* output = nullptr;
};

// Runs a command to its end and returns its exit status, its output going to the log.
inline int RunCommand(const std::string& program, const std::vector<std::string>& args) {
    ChildProcess child(program, args);
    std::fprintf(stderr, "%s", child.ReadAll().c_str());
    return child.Wait();
}

}  // namespace korvane::testing
