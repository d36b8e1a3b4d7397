// grooves.h: the factory sets, "vm-groove/1.0" documents compiled into the
// plug-in and the renderer from the files of grooves/.
#pragma once

#include <cstddef>
#include <string>

namespace brs::grooves {

struct FactorySet {
    const char* key;   // the file name without ".json"; the preset load key
    const char* name;  // the set's "name" member, shown to the user
    double bpm;        // the set's tempo, for descriptions
    const char* text;  // the whole document, zero-terminated
    std::size_t size;  // its length in bytes
};

// The sets in the order of grooves/CMakeLists.txt. [any thread]
std::size_t count();
// Set i, or null past the end. [any thread]
const FactorySet* at(std::size_t i);
// The set whose key or name equals what, ignoring the letter case of ASCII
// letters; null when none does. [any thread] no allocation
const FactorySet* find(const char* what);

}  // namespace brs::grooves
