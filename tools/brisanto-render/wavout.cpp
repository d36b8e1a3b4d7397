// wavout.cpp: a stereo WAV file that appears under its final name only when complete.
#include "tools/brisanto-render/wavout.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace brs::render {

namespace {

// The temporary file of the one WavOut that is open, for the signal handler.
char g_tmp[4096];
volatile sig_atomic_t g_tmpSet = 0;

extern "C" void on_signal(int sig) {
    if (g_tmpSet) unlink(g_tmp);
    signal(sig, SIG_DFL);
    raise(sig);
}

void watch(const std::string& tmp) {
    if (tmp.size() >= sizeof g_tmp) return;
    std::memcpy(g_tmp, tmp.c_str(), tmp.size() + 1);
    g_tmpSet = 1;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

void unwatch() { g_tmpSet = 0; }

}  // namespace

std::string reason(int err) {
    switch (err) {
    case ENOENT: return "nicht vorhanden";
    case EACCES:
    case EPERM: return "keine Berechtigung";
    case EISDIR: return "ist ein Verzeichnis";
    case ENOTDIR: return "ein Teil des Pfades ist kein Verzeichnis";
    case EROFS: return "schreibgeschütztes Dateisystem";
    case ENOSPC: return "kein Platz mehr auf dem Datenträger";
    case ENAMETOOLONG: return "Name zu lang";
    default: return std::strerror(err);
    }
}

bool write_file_atomically(const std::string& path, const void* data, size_t size, std::string* error) {
    size_t slash = path.rfind('/');
    std::string tmp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." +
                      (slash == std::string::npos ? path : path.substr(slash + 1)) + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        *error = "Datei nicht schreibbar: " + path + " (" + reason(errno) + ")";
        return false;
    }
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    int err = 0;
    while (done < size) {
        ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        unlink(tmp.c_str());
        *error = "Datei nicht schreibbar: " + path + " (" + reason(err) + ")";
        return false;
    }
    return true;
}

WavOut::~WavOut() { abort(); }

bool WavOut::open(const std::string& path, uint32_t rate, Format format, std::string* error) {
    abort();
    path_ = path;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = "Ausgabedatei nicht schreibbar: " + path + " (ist ein Verzeichnis)";
        return false;
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmpl = dir + "." + name + ".XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) {
        int e = errno;
        *error = "Ausgabedatei nicht schreibbar: " + path + " (" +
                 (e == ENOENT ? std::string("Verzeichnis nicht vorhanden") : reason(e)) + ")";
        return false;
    }
    tmp_ = tmpl;
    watch(tmp_);
    // mkstemp creates the file for its owner only; give it the usual mode.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | (format == Format::Float32 ? SF_FORMAT_FLOAT
                                   : format == Format::Pcm24 ? SF_FORMAT_PCM_24
                                                             : SF_FORMAT_PCM_16);
    sf_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!sf_) {
        *error = "Ausgabedatei nicht schreibbar: " + path + " (" + sf_strerror(nullptr) + ")";
        close(fd);
        abort();
        return false;
    }
    // No PEAK chunk: it carries a time stamp, and equal renders should give equal files.
    sf_command(sf_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    // Integer formats saturate instead of wrapping around on full-scale samples.
    sf_command(sf_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return true;
}

bool WavOut::write(const float* interleaved, uint32_t frames, std::string* error) {
    if (!sf_) return false;
    sf_count_t n = sf_writef_float(sf_, interleaved, frames);
    if (n != static_cast<sf_count_t>(frames)) {
        *error = "Schreiben fehlgeschlagen: " + path_ + " (" + sf_strerror(sf_) + ")";
        abort();
        return false;
    }
    return true;
}

bool WavOut::commit(std::string* error) {
    if (!sf_) return false;
    int rc = sf_close(sf_);
    sf_ = nullptr;
    if (rc != 0) {
        *error = "Schreiben fehlgeschlagen: " + path_ + " (" + sf_error_number(rc) + ")";
        abort();
        return false;
    }
    if (std::rename(tmp_.c_str(), path_.c_str()) != 0) {
        *error = "Ausgabedatei nicht schreibbar: " + path_ + " (" + reason(errno) + ")";
        abort();
        return false;
    }
    unwatch();
    tmp_.clear();
    return true;
}

void WavOut::abort() {
    if (sf_) {
        sf_close(sf_);
        sf_ = nullptr;
    }
    if (!tmp_.empty()) {
        unwatch();
        unlink(tmp_.c_str());
        tmp_.clear();
    }
}

}  // namespace brs::render
