// Output paths and files; see the header.
#include "tools/preview/output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace preview {
namespace {

std::string errno_text() { return std::strerror(errno); }

// The folder part of a path ("." when there is none).
std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The file a path names once symbolic links are followed: the path itself
// when it is not a link; a link's target otherwise, even when that does
// not exist yet.
std::string resolve_links(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        char target[PATH_MAX];
        const ssize_t n = readlink(current.c_str(), target, sizeof(target) - 1);
        if (n <= 0) return current;
        const std::string link(target, static_cast<size_t>(n));
        current = link[0] == '/' ? link : folder_of(current) + "/" + link;
    }
    throw std::runtime_error("cannot write '" + path + "': too many levels of symbolic links");
}

// The temporary file to remove when interrupted: a fixed buffer, written
// only with the signals blocked, read by the handler.
char g_cleanup_path[PATH_MAX + 32];
volatile sig_atomic_t g_cleanup_armed = 0;

void block_signals(sigset_t* old) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, old);
}

void arm_cleanup(const std::string& temp) {
    sigset_t old;
    block_signals(&old);
    const size_t n = std::min(temp.size(), sizeof(g_cleanup_path) - 1);
    std::memcpy(g_cleanup_path, temp.data(), n);
    g_cleanup_path[n] = '\0';
    g_cleanup_armed = 1;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void disarm_cleanup() {
    sigset_t old;
    block_signals(&old);
    g_cleanup_armed = 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Async-signal-safe: unlink, then the default action of the signal (which
// was reset on entry), delivered when the handler returns.
extern "C" void on_interrupt(int sig) {
    if (g_cleanup_armed) unlink(g_cleanup_path);
    raise(sig);
}

}  // namespace

Format format_of(const std::string& path) {
    if (path == "-") return Format::png;
    const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) {
        throw UsageError("'" + path + "' has no extension to tell the format by (supported: " +
                         kSupportedFormats + ")");
    }
    std::string ext = name.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".png") return Format::png;
    if (ext == ".exr") return Format::exr;
    throw UsageError("cannot write '" + path + "': " + ext + " is not a supported format (supported: " +
                     kSupportedFormats + ")");
}

void check_output_path(const std::string& path) {
    if (path == "-") {
        if (isatty(STDOUT_FILENO)) {
            throw UsageError("refusing to write a PNG to a terminal: redirect standard output, or give -o FILE");
        }
        return;
    }
    if (path.back() == '/') throw UsageError("'" + path + "' names a folder: give a file name, such as " + path + "preview.png");
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw UsageError("'" + path + "' is a folder: give a file name, such as " + path + "/preview.png");
    }
    const std::string target = resolve_links(path);
    const std::string folder = folder_of(target);
    if (stat(folder.c_str(), &st) != 0) {
        throw std::runtime_error("cannot write '" + path + "': the folder '" + folder + "' does not exist");
    }
    if (!S_ISDIR(st.st_mode)) throw std::runtime_error("cannot write '" + path + "': '" + folder + "' is not a folder");
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        throw std::runtime_error("cannot write '" + path + "': no permission to write in the folder '" + folder + "'");
    }
}

AtomicOutput::AtomicOutput(std::string path) : path_(std::move(path)), target_(resolve_links(path_)) {
    std::string templ = target_ + ".tmp-XXXXXX";
    fd_ = mkstemp(templ.data());
    if (fd_ < 0) throw std::runtime_error("cannot write '" + path_ + "': " + errno_text());
    temp_ = templ;
    arm_cleanup(temp_);
    // An existing file keeps its permission bits; a new one gets the mode a
    // new file gets (mkstemp makes it private).
    struct stat st;
    mode_t mode;
    if (stat(target_.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd_, mode);
}

AtomicOutput::~AtomicOutput() {
    if (committed_) return;
    if (fd_ >= 0) close(fd_);
    if (!temp_.empty()) unlink(temp_.c_str());
    disarm_cleanup();
}

bool write_all(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;  // no progress and no reason given
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void AtomicOutput::write(const std::vector<unsigned char>& bytes) {
    if (!write_all(fd_, bytes.data(), bytes.size())) throw std::runtime_error("cannot write '" + path_ + "': " + errno_text());
}

void AtomicOutput::commit() {
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) throw std::runtime_error("cannot write '" + path_ + "': " + errno_text());
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
        throw std::runtime_error("cannot move the finished image to '" + path_ + "': " + errno_text());
    }
    committed_ = true;
    disarm_cleanup();
}

void write_to_stdout(const std::vector<unsigned char>& bytes) {
    if (!write_all(STDOUT_FILENO, bytes.data(), bytes.size())) {
        throw std::runtime_error("cannot write to standard output: " + errno_text());
    }
}

void remove_output_on_interrupt() {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = on_interrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace preview
