#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
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

// Runs `program` with `environment` as its whole environment ("NAME=value" entries).
ProcessResult runWithEnvironment(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& workdir, const std::vector<std::string>& environment) {
    // Everything the child needs is made before fork: it only changes directory and execs.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    return capture([&] {
        if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    });
}

// This process's environment as "NAME=value" entries.
std::vector<std::string> currentEnvironment() {
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) entries.emplace_back(*e);
    return entries;
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workdir) {
    return runWithEnvironment(program, args, workdir, currentEnvironment());
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

ProcessResult runTesmaroWithEnv(const std::map<std::string, std::string>& environment,
                                const std::vector<std::string>& args, const std::string& workdir,
                                unsigned limitSeconds) {
    std::map<std::string, std::string> variables;
    for (const std::string& entry : currentEnvironment()) {
        const std::size_t equals = entry.find('=');
        if (equals != std::string::npos) variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    for (const auto& [name, value] : environment) variables[name] = value;
    if (environment.count("LD_PRELOAD") != 0) {
        std::string& options = variables["ASAN_OPTIONS"];
        options += (options.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    }
    std::vector<std::string> entries;
    for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
    if (limitSeconds == 0) return runWithEnvironment(TESMARO_BINARY, args, workdir, entries);
    std::vector<std::string> limited{"-s", "KILL", std::to_string(limitSeconds), TESMARO_BINARY};
    limited.insert(limited.end(), args.begin(), args.end());
    return runWithEnvironment("/usr/bin/timeout", limited, workdir, entries);
}

std::map<std::string, std::string> faultShim(const std::string& variable, const std::string& path) {
    return {{"LD_PRELOAD", TESMARO_FAULT_SHIM}, {variable, path}};
}

HelperProcess::HelperProcess(const Body& body) {
    int readyPipe[2], endPipe[2];
    if (pipe2(readyPipe, O_CLOEXEC) != 0) return;
    binio::FileDescriptor readyIn(readyPipe[0]), readyOut(readyPipe[1]);
    if (pipe2(endPipe, O_CLOEXEC) != 0) return;
    binio::FileDescriptor endIn(endPipe[0]);
    end_ = binio::FileDescriptor(endPipe[1]);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        end_.close();
        return;
    }
    if (pid_ == 0) {
        // Killed when the test process ends, also when it ended before this line.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        readyIn.close();
        end_.close();
        const Ready ready = [&readyOut](char word) {
            if (!readyOut.valid()) return;
            while (::write(readyOut.get(), &word, 1) < 0 && errno == EINTR) {
            }
            readyOut.close();
        };
        const AwaitEnd awaitEnd = [&endIn] {
            char byte = 0;
            while (::read(endIn.get(), &byte, 1) < 0 && errno == EINTR) {
            }
        };
        _exit(body(ready, awaitEnd));
    }
    readyOut.close();
    endIn.close();
    char word = '\0';
    ssize_t got = 0;
    while ((got = ::read(readyIn.get(), &word, 1)) < 0 && errno == EINTR) {
    }
    if (got == 1) word_ = word;
}

HelperProcess::~HelperProcess() {
    end_.close();
    if (pid_ <= 0) return;
    // Only a child not reaped yet is signalled: its pid cannot have gone to another process.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return;
    if (info.si_pid == 0) kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}
