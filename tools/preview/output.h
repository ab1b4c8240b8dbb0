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

// A problem with the command line (exit code 2), as opposed to one of the
// file system (std::runtime_error, exit code 1).
struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

enum class Format { png, exr };

// The supported names, for messages.
constexpr const char* kSupportedFormats = ".png, .exr";

// The format a file name asks for; UsageError for any other extension or
// none. "-" (standard output) is PNG.
Format format_of(const std::string& path);

// Checks that `path` can take the image before anything is rendered:
// UsageError for a folder or a name ending in '/', or a terminal as standard
// output; std::runtime_error for a missing parent folder or one that cannot
// be written. Creates nothing.
void check_output_path(const std::string& path);

// The file `path` becomes, written beside its final place and renamed there
// when complete, so that nothing half-written ever has the final name. A
// symbolic link is written through (its target is replaced); an existing
// file keeps its permission bits, a new one gets the usual mode. While the
// file is open, Ctrl-C and SIGTERM remove it before the program ends.
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
    void commit();  // closes and renames the temporary file to the final name

private:
    std::string path_;    // as the user named it
    std::string target_;  // the file actually replaced (a link's target)
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
};

// Writes all bytes to standard output; std::runtime_error on failure.
void write_to_stdout(const std::vector<unsigned char>& bytes);

// Writes all `size` bytes to `fd`, resuming after interruptions; false on
// failure, with errno telling why.
bool write_all(int fd, const void* data, std::size_t size);

// From now on Ctrl-C and SIGTERM remove the temporary file of the open
// AtomicOutput, if any, and end the program with the signal's usual status.
void remove_output_on_interrupt();

}  // namespace preview
