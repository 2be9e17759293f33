#include "support/tempdir.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tesmaro-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

std::string TempDir::write(const std::string& name, const std::string& content) const {
    const std::string target = file(name);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) throw std::runtime_error("cannot write " + target);
    return target;
}

std::map<std::string, std::string> TempDir::regularFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
        if (!entry.is_symlink() && entry.is_regular_file())
            files[entry.path().filename().string()] = read(entry.path().string());
    return files;
}

std::string changedFiles(const std::map<std::string, std::string>& before,
                         const std::map<std::string, std::string>& after) {
    std::string names;
    for (const auto& [name, bytes] : before)
        if (after.count(name) == 0 || after.at(name) != bytes) names += name + " ";
    for (const auto& entry : after)
        if (before.count(entry.first) == 0) names += entry.first + " ";
    return names;
}

std::string TempDir::read(const std::string& name) const {
    const std::string source = !name.empty() && name[0] == '/' ? name : file(name);
    std::ifstream in(source, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + source);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

binio::FileDescriptor bindSocket(const std::string& path) {
    binio::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd.valid() || path.size() >= sizeof address.sun_path) throw std::runtime_error("no socket for " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("bind " + path + ": " + std::strerror(errno));
    return fd;
}
