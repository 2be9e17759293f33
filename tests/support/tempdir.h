// A fresh temporary directory for one test, removed with everything in it on destruction.
#pragma once

#include <map>
#include <string>

#include "binio.h"

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` inside the directory.
    std::string file(const std::string& name) const;
    // Writes `content` as the whole file `name`; returns its path.
    std::string write(const std::string& name, const std::string& content) const;
    // The whole content of file `name` (a path inside the directory or an absolute path).
    std::string read(const std::string& name) const;
    // Every regular file directly inside the directory (symbolic links left out), by name, with
    // its content.
    std::map<std::string, std::string> regularFiles() const;

private:
    std::string path_;
};

// The names of the files whose content differs between two snapshots of regularFiles(), or that
// only one of them holds, each followed by a blank; "" when none.
std::string changedFiles(const std::map<std::string, std::string>& before,
                         const std::map<std::string, std::string>& after);

// Binds a Unix socket at `path`; the socket file stays there, and the socket is bound while the
// returned descriptor lives. Throws std::runtime_error when that fails.
binio::FileDescriptor bindSocket(const std::string& path);
