// Runs the real tesmaro binary (or any program) and captures its exact standard output,
// standard error and exit status; starts the helper processes that tests run beside it. Each
// call is independent; safe to use from one test thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "binio.h"

struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal number when killed by a signal
};

// Runs `program` with `args` (not including the program name) in `workdir` ("" = current).
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workdir = "");

// Runs the built tesmaro binary.
ProcessResult runTesmaro(const std::vector<std::string>& args, const std::string& workdir = "");

// Runs the built tesmaro binary with the variables of `environment` added to this process's
// own (replacing those of the same name). With LD_PRELOAD among them, verify_asan_link_order=0
// is appended to the ASAN_OPTIONS the child gets: a sanitized binary refuses to start when a
// preloaded library comes before the sanitizer's runtime. With `limitSeconds` above 0 the binary
// is killed (status 137) when it runs longer, so that an open waiting for a FIFO's reader fails
// a test instead of hanging it.
ProcessResult runTesmaroWithEnv(const std::map<std::string, std::string>& environment,
                                const std::vector<std::string>& args, const std::string& workdir = "",
                                unsigned limitSeconds = 0);

// The environment that preloads the fault shim (tests/shim/faultshim.cpp) with its variable
// `variable` naming `path`.
std::map<std::string, std::string> faultShim(const std::string& variable, const std::string& path);

// Runs `body` in a forked child with standard output and error captured; the child exits 0
// when `body` returns. For checking exact failure reports of in-process code. Do not use it
// after OpenMP regions ran in this process if `body` starts OpenMP regions itself (the
// runtime's thread pool does not survive fork): test such paths through the binary.
ProcessResult runInChild(const std::function<void()>& body);

// A process that a test starts beside a run of the binary (a FIFO reader, a lease holder), told
// apart from the run by a pipe rather than by time: the constructor returns only once the child
// says it is in the state the test needs, so the run starts after that.
//
// The forked child runs `body` and exits with the status it returns. `body` calls `ready(word)`
// once, with 'y' when it is in that state and any other byte when it cannot get there; it may
// then call `awaitEnd()`, which returns once the test calls end() (or has ended). The child dies
// with the test process, and the destructor kills and reaps it if the test has not reaped it:
// a test that fails part way leaves no process behind. The test may reap it itself with
// waitpid(pid()). One owner, one thread.
class HelperProcess {
public:
    using Ready = std::function<void(char word)>;
    using AwaitEnd = std::function<void()>;
    using Body = std::function<int(const Ready& ready, const AwaitEnd& awaitEnd)>;

    explicit HelperProcess(const Body& body);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // The child's pid, or -1 when it could not be started.
    pid_t pid() const { return pid_; }
    // The byte the child told; '\0' when it ended (or never started) without telling one.
    char word() const { return word_; }
    // Tells the child that the test is done with it: its awaitEnd() returns.
    void end() { end_.close(); }

private:
    pid_t pid_ = -1;
    char word_ = '\0';
    binio::FileDescriptor end_;  // the write end of the pipe the child's awaitEnd() reads
};
