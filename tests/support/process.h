// Runs the real tesmaro binary (or any program) and captures its exact standard output,
// standard error and exit status. Each call is independent; safe to use from one test thread.
#pragma once

#include <functional>
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

// Runs `body` in a forked child with standard output and error captured; the child exits 0
// when `body` returns. For checking exact failure reports of in-process code. Do not use it
// after OpenMP regions ran in this process if `body` starts OpenMP regions itself (the
// runtime's thread pool does not survive fork): test such paths through the binary.
ProcessResult runInChild(const std::function<void()>& body);
