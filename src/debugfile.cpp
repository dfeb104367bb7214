#include "debugfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace utils {

FILE* open_debug_file(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) {
        errno = EISDIR;
        return nullptr;
    }
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd < 0)
        return nullptr;
    // Not truncated yet: a hard link to someone else's file must stay as it is. O_NONBLOCK keeps
    // a planted FIFO from blocking start-up.
    const int fd =
        openat(dir_fd, base.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    int saved = errno;
    close(dir_fd);
    if (fd < 0) {
        errno = saved;
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        close(fd);
        errno = EPERM;
        return nullptr;
    }
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || ftruncate(fd, 0) != 0) {
        saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    FILE* stream = fdopen(fd, "w");
    if (stream == nullptr) {
        saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

}  // namespace utils
