#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace {

void drain(int fd, std::string* sink, bool* open) {
    char buffer[65536];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
        sink->append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
        *open = false;
    }
}

ProcessResult capture(const std::function<void()>& child) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    // Nothing buffered in this process may be written twice by the child.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(outPipe[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        child();
        _exit(0);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ProcessResult result;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) drain(outPipe[0], &result.out, &outOpen);
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) drain(errPipe[0], &result.err, &errOpen);
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workdir) {
    return capture([&] {
        if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    });
}

ProcessResult runInChild(const std::function<void()>& body) {
    return capture([&] {
        body();
        std::fflush(nullptr);
        std::cout.flush();
        std::cerr.flush();
    });
}

ProcessResult runTesmaro(const std::vector<std::string>& args, const std::string& workdir) {
    return runProcess(TESMARO_BINARY, args, workdir);
}
