// cli.h: what our command-line programs (brisanto-render, brisanto) share
// besides finding the plug-in (host/locate.h): reading numbers the way a
// German user types them, reading a whole file, and printing numbers with a
// decimal comma.
//
// Threads: any; no state of its own.
#pragma once

#include <string>

namespace brs::host {

// Reads a whole decimal number (point or comma); false on junk, a leading
// blank or a value that is not finite.
bool read_number(const char* text, double* out);
// A whole number within lo..hi, typed as read_number reads it.
bool read_int(const char* text, long lo, long hi, long* out);
// Reads a whole file into text; false with the errno value in *err (EISDIR
// for a folder).
bool read_file(const std::string& path, std::string* text, int* err);
// v with the given number of decimals and a decimal comma.
std::string de(double v, int decimals);

}  // namespace brs::host
