// set.h: set documents ("vm-groove/1.0") and the binary pattern image.
//
// A set document is one JSON object without whitespace holding tempo, swing,
// pattern length, master values, the six tracks (mute, 20 parameters, wave),
// all 8 x 6 x 64 steps, the effect values and the song chain. The exported
// entries are brskern_save_set, brskern_load_set and brskern_load_pats
// (engine/brskern.h); these are their C++ forms.
//
// Numbers are written and read with "." as decimal separator whatever
// LC_NUMERIC the host process has set. A float that is not finite is never
// written: it is written as 0. A float member that is not finite after
// narrowing to single precision (1e39, 1e999) is ignored by the reader, so
// every text the writer produces is accepted again. Every float member is
// kept to its range as it is read: the twenty track values to
// brs::PARAM_RANGES, "bpm" to 60..260, "swing" to 0..60, the master values
// to 0..1 and the effect values to brskern_set_fx's limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brs {

struct Engine;

// The format tag every set document starts with.
inline constexpr const char SET_FORMAT[] = "vm-groove/1.0";

// Size of the binary pattern image: 8 patterns x 6 tracks x 64 steps x 6 bytes.
inline constexpr std::size_t PAT_IMAGE_BYTES = 18432;

// The set document of `e`, exactly as brskern_save_set writes it.
// [main thread, instance lock held] allocates
std::string save_set(const Engine& e);

// Reads the zero-terminated document `text` into `e`. False (engine untouched)
// when the text has a syntax error, is not an object, or its first "format"
// member is not "vm-groove/1.0"; every other irregularity is tolerated.
// One pass over the text with the grammar of brs::Parser; the document is
// never held as a tree and no key or string is copied, so the heap the call
// needs is the copy of the pattern store and the song chain it reads.
// [main thread, instance lock held] allocates
bool load_set(Engine& e, const char* text);
// As above; false for a null engine or text.
bool load_set(Engine* e, const char* text);

// Copies every field a set document carries, and the chain flag, from `from`
// to `to` (engines of any sample rate), and keeps `to`'s room for rendering.
// [instance lock held] allocates only when `to` has less room for patterns
// and song entries than `from` uses
void copy_set_fields(Engine& to, const Engine& from);
// Exchanges the same fields between two engines: the vectors trade their
// storage, so nothing is allocated or freed. [instance lock held] no allocation
void swap_set_fields(Engine& a, Engine& b);

// Overwrites all 3072 steps from a pattern image of at least PAT_IMAGE_BYTES
// bytes (on, acc, rev become 0/1; rat 0 becomes 1). False, and nothing
// changes, for a shorter image. [instance lock held] no allocation
bool load_pats(Engine& e, const std::uint8_t* image, std::size_t length);

}  // namespace brs
