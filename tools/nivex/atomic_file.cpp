#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tool_error.h"

namespace nivex_tool {
namespace {

// The permissions an ordinary create would give: 0666 less the umask.
mode_t default_file_mode() {
    mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

std::string temp_name_for(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + base + ".XXXXXX";
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        fail("cannot write");
    }
    std::string pattern = temp_name_for(path_);
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = mkstemp(name.data());
    if (fd_ < 0) fail("cannot write");
    temp_path_ = name.data();
    fchmod(fd_, default_file_mode());
}

AtomicFile::~AtomicFile() {
    if (!committed_) discard();
}

FILE *AtomicFile::stream() {
    if (stream_ == nullptr) {
        stream_ = fdopen(fd_, "w+b");
        if (stream_ == nullptr) fail("cannot write");
    }
    return stream_;
}

void AtomicFile::commit() {
    bool written = true;
    if (stream_ != nullptr) {
        written = std::fflush(stream_) == 0 && !std::ferror(stream_);
        written = std::fclose(stream_) == 0 && written;
        stream_ = nullptr;
        fd_ = -1;
    } else {
        written = close(fd_) == 0;
        fd_ = -1;
    }
    if (!written) fail("cannot write");
    if (std::rename(temp_path_.c_str(), path_.c_str()) != 0) fail("cannot write");
    committed_ = true;
}

void AtomicFile::fail(const char *what) const {
    throw ToolError(std::string(what) + " " + path_ + ": " + std::strerror(errno));
}

void AtomicFile::discard() {
    if (stream_ != nullptr)
        std::fclose(stream_);
    else if (fd_ >= 0)
        close(fd_);
    stream_ = nullptr;
    fd_ = -1;
    if (!temp_path_.empty()) unlink(temp_path_.c_str());
}

}  // namespace nivex_tool
