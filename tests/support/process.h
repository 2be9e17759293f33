// Runs the real tesmaro binary (or any program) and captures its exact standard output,
// standard error and exit status. Each call is independent; safe to use from one test thread.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

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
