// grooves.cpp: looking up the factory sets (the data is generated at build
// time from the JSON files, see embed.cmake).
#include "grooves/grooves.h"

#include <cctype>

namespace brs::grooves {

// Generated: the table and its length.
extern const FactorySet SETS[];
extern const std::size_t SET_COUNT;

std::size_t count() { return SET_COUNT; }

const FactorySet* at(std::size_t i) { return i < SET_COUNT ? &SETS[i] : nullptr; }

namespace {

bool same(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

}  // namespace

const FactorySet* find(const char* what) {
    if (!what) return nullptr;
    for (std::size_t i = 0; i < SET_COUNT; ++i)
        if (same(what, SETS[i].key) || same(what, SETS[i].name)) return &SETS[i];
    return nullptr;
}

}  // namespace brs::grooves
