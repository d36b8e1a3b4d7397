// cli.cpp: helpers of our command-line programs (host/cli.h).
#include "host/cli.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace brs::host {

bool read_number(const char* text, double* out) {
    std::string s(text);
    for (char& c : s)
        if (c == ',') c = '.';
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool read_int(const char* text, long lo, long hi, long* out) {
    double v;
    if (!read_number(text, &v) || v != std::floor(v) || v < lo || v > hi) return false;
    *out = static_cast<long>(v);
    return true;
}

bool read_file(const std::string& path, std::string* text, int* err) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *err = EISDIR;
        return false;
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *err = errno;
        return false;
    }
    text->clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
    bool bad = std::ferror(f);
    *err = errno;
    std::fclose(f);
    return !bad;
}

std::string de(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    for (char* p = buf; *p; ++p)
        if (*p == '.') *p = ',';
    return buf;
}

}  // namespace brs::host
