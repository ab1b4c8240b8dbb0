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
#include <filesystem>
#include <system_error>

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

// The signals whose default action ends the program and that a user, a
// terminal or a pipe can send: each removes the temporary file first.
// (SIGXFSZ is ignored by the program: a write beyond the limit fails.)
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGPIPE, SIGUSR1,
                                  SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};

void block_signals(sigset_t* old) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndingSignals) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, old);
}

// Creates the temporary file from `templ` (mkstemp) and arms the cleanup,
// with the signals blocked in between: a signal can never find the file
// created but not yet known to the handler.
int create_armed(std::string* templ) {
    sigset_t old;
    block_signals(&old);
    const int fd = mkstemp(templ->data());
    const int error = errno;
    if (fd >= 0) {
        const size_t n = std::min(templ->size(), sizeof(g_cleanup_path) - 1);
        std::memcpy(g_cleanup_path, templ->data(), n);
        g_cleanup_path[n] = '\0';
        g_cleanup_armed = 1;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return fd;
}

void disarm_cleanup() {
    sigset_t old;
    block_signals(&old);
    g_cleanup_armed = 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Async-signal-safe: unlink, then the signal's default action, set here
// explicitly (not left to SA_RESETHAND, which some runtimes that intercept
// signals, such as ThreadSanitizer's, do not honour) and delivered when the
// handler returns.
extern "C" void on_interrupt(int sig) {
    if (g_cleanup_armed) unlink(g_cleanup_path);
    struct sigaction default_action;
    std::memset(&default_action, 0, sizeof(default_action));
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(sig, &default_action, nullptr);
    raise(sig);
}

// The permission bits a new file gets: 0666 less the process's umask.
mode_t new_file_mode() {
#if defined(__linux__)
    // Linux (4.7 and later) shows the umask in /proc/self/status, as
    // "Umask:" and an octal number.
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        long mask = -1;
        while (mask < 0 && std::fgets(line, sizeof(line), status) != nullptr) {
            if (std::strncmp(line, "Umask:", 6) == 0) {
                char* end = nullptr;
                const long value = std::strtol(line + 6, &end, 8);
                if (end != line + 6 && value >= 0 && value <= 0777) mask = value;
            }
        }
        std::fclose(status);
        if (mask >= 0) return static_cast<mode_t>(0666 & ~mask);
    }
#endif
    // Elsewhere (and without /proc) umask() is the only reader, and it sets
    // the mask as it reads it: it is set back at once. The program creates
    // files only on its main thread, so no file is created meanwhile.
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

// Flushes an open file's data and size to the disk.
int flush_to_disk(int fd) {
#if defined(_WIN32)
    return _commit(fd);
#else
    int result;
    do result = fsync(fd);
    while (result != 0 && errno == EINTR);
    return result;
#endif
}

// Flushes a folder's entries to the disk, so that a rename in it survives a
// power loss. Systems and file systems that cannot flush a folder (Windows;
// EINVAL or ENOTSUP from fsync) keep it as they do; any other failure is
// returned with errno set.
bool flush_folder(const std::string& folder) {
#if defined(_WIN32)
    (void)folder;
    return true;
#else
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const int result = flush_to_disk(fd);
    const int error = errno;
    close(fd);
    errno = error;
    return result == 0 || errno == EINVAL || errno == ENOTSUP;
#endif
}

// What a non-regular file is, for messages.
const char* kind_of(const struct stat& st) {
    if (S_ISFIFO(st.st_mode)) return "a pipe";
#if defined(S_ISSOCK)
    if (S_ISSOCK(st.st_mode)) return "a socket";
#endif
    if (S_ISCHR(st.st_mode)) return "a character device";
    return "not a regular file";
}

// Whether `st` is the null device, which takes and drops any write and seek.
bool is_null_device(const struct stat& st) {
#if defined(_WIN32)
    (void)st;
    return false;
#else
    struct stat null;
    return S_ISCHR(st.st_mode) && stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) && null.st_rdev == st.st_rdev;
#endif
}

}  // namespace

Format format_of(const std::string& path) {
    if (path == "-") return Format::png;
    const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) {
        // A device or pipe (/dev/null, a FIFO) without an extension takes PNG.
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) return Format::png;
        throw UsageError("'" + path + "' has no extension to tell the format by (supported: " + kSupportedFormats +
                         ")");
    }
    std::string ext = name.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".png") return Format::png;
    if (ext == ".exr") return Format::exr;
    throw UsageError("cannot write '" + path + "': " + ext +
                     " is not a supported format (supported: " + kSupportedFormats + ")");
}

void check_output_path(const std::string& path) {
    if (path == "-") {
        if (isatty(STDOUT_FILENO)) {
            throw UsageError("refusing to write a PNG to a terminal: redirect standard output, or give -o FILE");
        }
        return;
    }
    if (path.back() == '/')
        throw UsageError("'" + path + "' names a folder: give a file name, such as " + path + "preview.png");
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw UsageError("'" + path + "' is a folder: give a file name, such as " + path + "/preview.png");
    }
    const std::string target = resolve_links(path);
    if (stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            // A device or a pipe (/dev/null, a FIFO) is written in place.
            if (access(target.c_str(), W_OK) != 0) throw UsageError("cannot write '" + path + "': " + errno_text());
            return;
        }
        // As cp does, a file without write permission is not replaced.
        if (access(target.c_str(), W_OK) != 0) {
            throw UsageError("cannot write '" + path + "': " + errno_text() + " (the file is not writable)");
        }
    }
    const std::string folder = folder_of(target);
    if (stat(folder.c_str(), &st) != 0) {
        throw UsageError("cannot write '" + path + "': the folder '" + folder + "' does not exist");
    }
    if (!S_ISDIR(st.st_mode)) throw UsageError("cannot write '" + path + "': '" + folder + "' is not a folder");
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        throw UsageError("cannot write '" + path + "': no permission to write in the folder '" + folder + "'");
    }
}

void check_output_takes(const std::string& path, Format format) {
    if (format != Format::exr || path == "-") return;
    struct stat st;
    if (stat(resolve_links(path).c_str(), &st) != 0) return;  // a new file
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || is_null_device(st)) return;
    throw UsageError("cannot write an EXR to '" + path + "': it is " + kind_of(st) +
                     ", and EXR is written with seeks back, which only a file takes: name a file, or write PNG there");
}

AtomicOutput::AtomicOutput(std::string path) : path_(std::move(path)), target_(resolve_links(path_)) {
    struct stat existing;
    if (stat(target_.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        // A device or a pipe: written in place, never replaced.
        fd_ = open(target_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot write '" + path_ + "': " + errno_text());
        return;
    }
    std::string templ = target_ + ".tmp-XXXXXX";
    fd_ = create_armed(&templ);
    if (fd_ < 0) throw std::runtime_error("cannot write '" + path_ + "': " + errno_text());
    temp_ = templ;
    // An existing file keeps its permission bits; a new one gets the mode a
    // new file gets (mkstemp makes it private).
    struct stat st;
    fchmod(fd_, stat(target_.c_str(), &st) == 0 ? st.st_mode & 07777 : new_file_mode());
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
    if (!write_all(fd_, bytes.data(), bytes.size()))
        throw std::runtime_error("cannot write '" + path_ + "': " + errno_text());
}

void AtomicOutput::commit() {
    const int fd = fd_;
    fd_ = -1;
    // The data reaches the disk before the name does: renamed unflushed, a
    // power loss could leave an empty file under the final name.
    if (!temp_.empty() && flush_to_disk(fd) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        throw std::runtime_error("cannot write '" + path_ + "': " + errno_text());
    }
    if (close(fd) != 0) throw std::runtime_error("cannot write '" + path_ + "': " + errno_text());
    if (temp_.empty()) {  // written in place
        committed_ = true;
        return;
    }
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
        throw std::runtime_error("cannot move the finished image to '" + path_ + "': " + errno_text());
    }
    committed_ = true;
    disarm_cleanup();
    // The rename itself is kept by flushing the folder that holds it.
    if (!flush_folder(folder_of(target_))) {
        throw std::runtime_error("wrote '" + path_ + "', but cannot flush its folder to disk: " + errno_text());
    }
}

bool same_file(const std::string& a, const std::string& b) {
    if (a == "-" || b == "-") return a == b;
    std::error_code error_a, error_b;
    const auto ca = std::filesystem::weakly_canonical(resolve_links(a), error_a);
    const auto cb = std::filesystem::weakly_canonical(resolve_links(b), error_b);
    if (error_a || error_b) return a == b;
    return ca == cb;
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
    for (int sig : kEndingSignals) {
        // A signal ignored when the program started (nohup's SIGHUP) stays so.
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(sig, &action, nullptr);
    }
}

}  // namespace preview
