// Where a preview goes: checking the output path before any work, writing
// beside the final name and renaming into place, keeping an existing file's
// permissions and writing through a symbolic link, removing the half-written
// file when the program is interrupted, and writing to standard output.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace preview {

// A problem with the command line, found before any work (exit code 2):
// options, options files, and an output that cannot be written; as opposed
// to a failure while working (std::runtime_error, exit code 1): the
// library, the render, or writing the file.
struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

enum class Format { png, exr };

// The supported names, for messages.
constexpr const char* kSupportedFormats = ".png, .exr";

// The format a file name asks for; UsageError for any other extension or
// none. "-" (standard output), and a device or pipe without an extension,
// are PNG.
Format format_of(const std::string& path);

// Checks that `path` can take the image before anything is rendered, and
// throws UsageError (exit code 2) for any reason it cannot: a folder or a
// name ending in '/', a terminal as standard output, an existing file
// without write permission (refused, as cp refuses it), a missing parent
// folder or one that cannot be written. Creates nothing. A device or pipe
// (/dev/null) is accepted and written in place.
void check_output_path(const std::string& path);

// Checks, before anything is rendered, that the existing target of `path`
// (if any) can take `format`, by its type alone: nothing is opened, so a
// pipe without a reader cannot stall the check. EXR is written with seeks
// back (its table of chunk offsets precedes the chunks), so for EXR only a
// regular file, a block device or the null device is accepted, and a pipe,
// socket, terminal or other character device is refused (UsageError, exit
// code 2). PNG is written in one stream and goes anywhere
// check_output_path accepts.
void check_output_takes(const std::string& path, Format format);

// The file `path` becomes, written beside its final place and renamed there
// when complete, so that nothing half-written ever has the final name; the
// file is flushed to disk before the rename and its folder after it, so
// that after a power loss the name holds the old file or the whole new one.
// A symbolic link is written through (its target is replaced); an existing
// file keeps its permission bits, a new one gets the mode the process's
// umask gives (read without changing it on Linux; see new_file_mode in the
// source for other systems); a device or pipe is written in place. While the temporary file exists, a signal
// that ends the program (Ctrl-C, SIGTERM, SIGHUP, SIGPIPE...) removes it
// first. Create it when the image is ready to be written.
class AtomicOutput {
public:
    // Creates the temporary file at once; throws std::runtime_error.
    explicit AtomicOutput(std::string path);
    ~AtomicOutput();  // removes the temporary file unless committed
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    // Writes all bytes; a failure names the final path and the system's
    // reason (std::runtime_error).
    void write(const std::vector<unsigned char>& bytes);
    // The open file, for writers that stream (its errors name path()).
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Flushes, closes and renames the temporary file to the final name, and
    // flushes the folder; std::runtime_error when any of them fails.
    void commit();

private:
    std::string path_;    // as the user named it
    std::string target_;  // the file actually replaced (a link's target)
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
};

// Whether two paths name the same file (or would, once created).
bool same_file(const std::string& a, const std::string& b);

// Writes all bytes to standard output; std::runtime_error on failure.
void write_to_stdout(const std::vector<unsigned char>& bytes);

// Writes all `size` bytes to `fd`, resuming after interruptions; false on
// failure, with errno telling why.
bool write_all(int fd, const void* data, std::size_t size);

// From now on every signal that ends the program by default (Ctrl-C,
// SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1...) removes the temporary file
// of the open AtomicOutput, if any, and ends the program with the signal's
// usual status. Signals ignored at start (nohup) stay ignored.
void remove_output_on_interrupt();

}  // namespace preview
