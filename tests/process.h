// Runs a program to its end with standard input at its end from the start,
// and collects what it wrote to standard output.
#ifndef COMENUM_PROCESS_H
#define COMENUM_PROCESS_H

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "temp_dir.h"

extern char **environ;

struct Finished {
    int exit_status = -1;  // -1 when the program did not exit by itself
    std::string out;
};

struct HowToRun {
    std::vector<std::string> env;  // NAME=value, over this process's environment
    bool unprivileged = false;     // as an ordinary user, when this process is root
    bool no_reader = false;        // standard output is a pipe that nobody reads
};

inline Finished run_program(const std::vector<std::string> &argv, const HowToRun &how = {})
{
    std::vector<std::string> env = how.env;
    for (char **e = environ; *e != nullptr; e++) {
        const std::string name = std::string(*e).substr(0, std::strcspn(*e, "=") + 1);
        bool overridden = false;
        for (const std::string &o : how.env) {
            overridden = overridden || o.compare(0, name.size(), name) == 0;
        }
        if (!overridden) {
            env.push_back(*e);
        }
    }
    std::vector<char *> c_argv;
    std::vector<char *> c_env;
    for (const std::string &a : argv) {
        c_argv.push_back(const_cast<char *>(a.c_str()));
    }
    for (const std::string &e : env) {
        c_env.push_back(const_cast<char *>(e.c_str()));
    }
    c_argv.push_back(nullptr);
    c_env.push_back(nullptr);

    TempDir scratch;
    const std::string out_path = scratch.file("stdout");
    int out_fd = -1;
    if (how.no_reader) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return {};
        }
        ::close(fds[0]);  // before the program starts, so its writes must fail
        out_fd = fds[1];
    } else {
        out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }

    const pid_t child = ::fork();
    if (child < 0) {
        ::close(out_fd);
        return {};
    }
    if (child == 0) {
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, STDIN_FILENO);
        ::dup2(out_fd, STDOUT_FILENO);
        if (how.unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(126);
        }
        ::execve(c_argv[0], c_argv.data(), c_env.data());
        ::_exit(127);
    }
    ::close(out_fd);
    int status = 0;
    ::waitpid(child, &status, 0);

    Finished finished;
    finished.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::vector<std::uint8_t> out = read_bytes(out_path);
    finished.out.assign(out.begin(), out.end());
    return finished;
}

#endif
