/* brskern.h: the brisanto sound kernel, callable from C and C++.
 *
 * Every function takes the engine handle returned by brskern_new as its
 * first argument. The kernel has no lock of its own: all calls for one
 * engine must be serialised by the caller. Distinct engines are independent.
 *
 * Track numbers: 0 kick, 1 bass, 2 hoover, 3 break, 4 hat, 5 stab.
 */
#ifndef BRSKERN_H
#define BRSKERN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(BRSKERN_BUILD)
#define BRSKERN_API __attribute__((visibility("default")))
#else
#define BRSKERN_API
#endif

#ifdef __cplusplus
namespace brs { struct Engine; }
typedef brs::Engine* brskern_t;
extern "C" {
#else
typedef struct brskern_engine* brskern_t;
#endif

/* Lifecycle and transport. */
BRSKERN_API brskern_t brskern_new(float sampleRate);        /* [any thread] allocates */
BRSKERN_API void brskern_free(brskern_t h);                  /* null is ignored */
BRSKERN_API void brskern_process(brskern_t h, float* out, uint32_t frames); /* [audio] no allocation, no locks */
/* As brskern_process; each track t whose own[t] is not null leaves the main mix
   and is written there instead, mono, frames floats, after its own pass through
   master drive and level (not the limiter); its sends still feed delay and
   reverb. own itself may be null (all tracks in the main mix). */
BRSKERN_API void brskern_process_split(brskern_t h, float* out, float* const* own, uint32_t frames); /* [audio] no allocation, no locks */
BRSKERN_API void brskern_skip(brskern_t h, uint32_t frames);  /* [audio] advances time unheard; no allocation, no locks */
BRSKERN_API void brskern_reset(brskern_t h);                   /* [audio] ends voices, clears tails; no allocation, no locks */
BRSKERN_API void brskern_start(brskern_t h);
BRSKERN_API void brskern_stop(brskern_t h);
/* Places the sequencer at a song position given in beats (quarter notes since
 * position 0) that falls on the first sample of the next rendered block: the
 * next step is the first sixteenth at or after it (an odd step whose swung
 * hit still lies ahead fires first), due after the remainder at the current
 * tempo; with a song chain, the entry and its pass follow from the whole
 * patterns since position 0. Neither starts nor stops the sequencer; a
 * position that is not finite is ignored. [audio thread] no allocation, no locks */
BRSKERN_API void brskern_place(brskern_t h, double beats);
BRSKERN_API int32_t brskern_step(brskern_t h);
BRSKERN_API int32_t brskern_pat(brskern_t h);
BRSKERN_API bool brskern_playing(brskern_t h);

/* Musical state and sound parameters. */
BRSKERN_API void brskern_set_bpm(brskern_t h, float bpm);
BRSKERN_API void brskern_set_swing(brskern_t h, float swing);
BRSKERN_API void brskern_set_fx(brskern_t h, float delayTime, float delayFb, float reverbSize);
BRSKERN_API void brskern_set_global(brskern_t h, float swing, uint32_t len, bool chain, float drive, float level);
BRSKERN_API void brskern_set_mute(brskern_t h, uint32_t track, bool mute);
BRSKERN_API void brskern_set_wave(brskern_t h, uint32_t track, uint8_t wave);
BRSKERN_API int brskern_set_param(brskern_t h, uint32_t track, const char* name, float value);
BRSKERN_API float brskern_get_param(brskern_t h, uint32_t track, const char* name);
/* on, acc and rev are stored as 1 when their low byte is non-zero, else 0. */
BRSKERN_API void brskern_set_step(brskern_t h, uint32_t pat, uint32_t track, uint32_t step,
                                  int on, int acc, int note, int rat, int slice, int rev);
BRSKERN_API void brskern_set_song(brskern_t h, const uint8_t* data, size_t n); /* may allocate */
BRSKERN_API int brskern_set_auto(brskern_t h, const float* lanes, size_t count, bool on);

/* Playing a track directly. */
BRSKERN_API void brskern_midi(brskern_t h, uint8_t status, uint8_t data1, uint8_t data2);
/* Every voice ends once its own clock passes 24 s, however long its track's values
   make it (about 24 to 25 s of audio at any rate). */
BRSKERN_API void brskern_trigger(brskern_t h, uint32_t track, int slice, bool rev, float note, float gain);

/* Set documents ("vm-groove/1.0") and the binary pattern image. */
BRSKERN_API size_t brskern_save_set(brskern_t h, char* buf, size_t cap); /* allocates */
BRSKERN_API bool brskern_load_set(brskern_t h, const char* text);       /* allocates */
BRSKERN_API bool brskern_load_pats(brskern_t h, const uint8_t* image, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* BRSKERN_H */
