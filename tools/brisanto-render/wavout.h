// wavout.h: a stereo WAV file that appears under its final name only when complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/brisanto-render/opts.h"

struct sf_private_tag;

namespace brs::render {

// Writes to a temporary file beside the target ("<dir>/.<name>.XXXXXX") and
// renames it to the target in commit(). Until then, and whenever something
// fails, the target is left as it was; the temporary file is removed by
// abort(), by the destructor and on SIGINT, SIGTERM and SIGHUP.
class WavOut {
public:
    WavOut() = default;
    ~WavOut();
    WavOut(const WavOut&) = delete;
    WavOut& operator=(const WavOut&) = delete;

    // Creates the temporary file. False with one German line in *error.  [main thread]
    bool open(const std::string& path, uint32_t rate, Format format, std::string* error);
    // Appends `frames` interleaved stereo frames.  [main thread]
    bool write(const float* interleaved, uint32_t frames, std::string* error);
    // Closes the file and renames it to its target.  [main thread]
    bool commit(std::string* error);
    // Removes the temporary file.  [main thread, signal-safe part only]
    void abort();

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string tmp_;
    sf_private_tag* sf_ = nullptr;
};

// Writes bytes to path through a temporary file beside it and a rename, so
// that path holds either its old content or all of the new. [main thread]
bool write_file_atomically(const std::string& path, const void* data, size_t size, std::string* error);

// A short German reason for an errno value ("nicht vorhanden", "keine Berechtigung", ...).
std::string reason(int err);

}  // namespace brs::render
