// Runs a built program as a user would: to its end with standard input at its
// end from the start, or talking to it through pipes.
#ifndef COMENUM_PROCESS_H
#define COMENUM_PROCESS_H

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "db_file.h"
#include "temp_dir.h"

extern char **environ;

struct Command {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // NAME=value, over this process's environment
};

struct HowToRun {
    bool unprivileged = false;  // as an ordinary user, when this process is root
    bool no_reader = false;     // standard output is a pipe that nobody reads
    std::vector<int> closed;    // standard streams the program starts without
};

struct Finished {
    int exit_status = -1;  // -1 when the program did not exit by itself
    std::string out;
};

// Holds the argument and environment strings for execve.
struct ExecArgs {
    explicit ExecArgs(const Command &command) : env(command.env)
    {
        for (char **e = environ; *e != nullptr; e++) {
            const std::string name = std::string(*e).substr(0, std::strcspn(*e, "=") + 1);
            bool overridden = false;
            for (const std::string &o : command.env) {
                overridden = overridden || o.compare(0, name.size(), name) == 0;
            }
            if (!overridden) {
                env.push_back(*e);
            }
        }
        for (const std::string &a : command.argv) {
            c_argv.push_back(const_cast<char *>(a.c_str()));
        }
        for (const std::string &e : env) {
            c_env.push_back(const_cast<char *>(e.c_str()));
        }
        c_argv.push_back(nullptr);
        c_env.push_back(nullptr);
    }

    [[noreturn]] void exec()
    {
        ::execve(c_argv[0], c_argv.data(), c_env.data());
        ::_exit(127);
    }

    std::vector<std::string> env;
    std::vector<char *> c_argv;
    std::vector<char *> c_env;
};

inline int exit_status_of(pid_t child)
{
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline Finished run_program(const Command &command, const HowToRun &how = {})
{
    ExecArgs args(command);
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
        for (int fd : how.closed) {
            ::close(fd);
        }
        if (how.unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(126);
        }
        args.exec();
    }
    ::close(out_fd);
    Finished finished;
    finished.exit_status = exit_status_of(child);
    const std::vector<std::uint8_t> out = read_bytes(out_path);
    finished.out.assign(out.begin(), out.end());
    return finished;
}

// A program started with pipes for its standard input and output.
class Conversation {
public:
    explicit Conversation(const Command &command)
    {
        ExecArgs args(command);
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            return;
        }
        child_ = ::fork();
        if (child_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            args.exec();
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Conversation()
    {
        ::close(in_);
        ::close(out_);
        if (child_ > 0) {
            exit_status_of(child_);
        }
    }
    Conversation(const Conversation &) = delete;
    Conversation &operator=(const Conversation &) = delete;

    // What the program writes until it has written `end`, ends its output, or
    // has been silent for `timeout_ms`.
    std::string read_until(const std::string &end, int timeout_ms)
    {
        std::string text;
        pollfd readable{out_, POLLIN, 0};
        while (text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0) {
            char chunk[4096];
            if (::poll(&readable, 1, timeout_ms) != 1) {
                break;
            }
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

    void type(const std::string &keys) { (void)!::write(in_, keys.data(), keys.size()); }

    int exit_status()
    {
        const int status = exit_status_of(child_);
        child_ = -1;
        return status;
    }

private:
    pid_t child_ = -1;
    int in_ = -1;
    int out_ = -1;
};

#endif
