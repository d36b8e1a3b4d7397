// The voice-major lane renderer against the sample-by-sample loop it
// replaces: the loop over the voice list calling renderVoice for every voice
// on every frame (kept here as the reference), on every lane variant this
// processor runs. Output bits, voice list and every voice's state must agree
// after every call, across pending voices, voices ending mid-block, voices
// turning non-finite, parameters that push lanes off the vector path, a
// sample-rate change under sounding voices, the 64-voice cap and every block
// size.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dsp/dsp.h"
#include "dsp/lanes.h"
#include "engine/brskern.h"
#include "engine/engine.h"

namespace {

using brs::Engine;
using brs::Voice;

// The render loop as it was before voices ran side by side: per frame, every
// voice in list order, t += dt, renderVoice, buses, removal at the frame's end.
void referenceProcess(Engine& e, float* out, unsigned long frames) {
    brs::DenormalScope scope;
    const float dt = 1.0f / e.sampleRate;
    const double end = e.clock + static_cast<double>(frames) * static_cast<double>(dt);
    e.schedule(end);
    for (unsigned long i = 0; i < frames; ++i) {
        float dryBus = 0.0f, delayBus = 0.0f, reverbBus = 0.0f;
        bool ended = false;
        for (Voice& v : e.voices) {
            v.t += dt;
            if (v.t < 0.0f) continue;
            if (!(v.t <= v.dur)) {
                v.alive = 0;
                ended = true;
                continue;
            }
            const float o = brs::renderVoice(v, e.brk, e.sampleRate);
            ended |= v.alive == 0;
            dryBus += o;
            delayBus += v.params[brs::P_DELAY_SEND] * o;
            reverbBus += v.params[brs::P_REVERB_SEND] * o;
        }
        if (ended)
            e.voices.erase(std::remove_if(e.voices.begin(), e.voices.end(), [](const Voice& v) { return v.alive == 0; }),
                           e.voices.end());
        float left = 0.0f, right = 0.0f;
        e.fx.frame(dryBus, delayBus, reverbBus, left, right);
        brs::masterStage(left, right, e.masterDrive, e.masterLevel, e.limiterGain);
        out[2 * i] = left;
        out[2 * i + 1] = right;
    }
    e.clock = end;
}

uint32_t bits(float x) {
    uint32_t u;
    std::memcpy(&u, &x, 4);
    return u;
}

// Every field a recipe reads or writes, bit for bit.
std::string voiceDiff(const Voice& a, const Voice& b) {
    auto same = [](float x, float y) { return bits(x) == bits(y); };
    if (a.track != b.track) return "track";
    if (!same(a.t, b.t)) return "t";
    for (int k = 0; k < 5; ++k)
        if (!same(a.phase[k], b.phase[k])) return "phase " + std::to_string(k);
    if (!same(a.ic1, b.ic1) || !same(a.ic2, b.ic2)) return "filter state";
    if (a.rng != b.rng) return "rng";
    if (a.alive != b.alive) return "alive";
    return "";
}

// Two engines built alike: one renders through Engine::process on the pinned
// lane path, the other through the reference loop.
struct Twin {
    Engine lanes;
    Engine ref;
    explicit Twin(float sr) : lanes(sr), ref(sr) {}
    void both(const std::function<void(Engine&)>& f) {
        f(lanes);
        f(ref);
    }
    // Renders n frames in both; returns "" when output and voices agree.
    std::string step(uint32_t n) {
        std::vector<float> a(2 * static_cast<std::size_t>(n) + 2, 1.0f), b(a);
        {
            brs::DenormalScope scope;
            lanes.process(a.data(), n);
        }
        referenceProcess(ref, b.data(), n);
        for (std::size_t i = 0; i < a.size(); ++i)
            if (bits(a[i]) != bits(b[i])) return "sample " + std::to_string(i / 2) + " differs";
        if (lanes.voices.size() != ref.voices.size())
            return "voice count " + std::to_string(lanes.voices.size()) + " vs " + std::to_string(ref.voices.size());
        for (std::size_t i = 0; i < lanes.voices.size(); ++i) {
            std::string d = voiceDiff(lanes.voices[i], ref.voices[i]);
            if (!d.empty()) return "voice " + std::to_string(i) + ": " + d;
        }
        if (bits(lanes.limiterGain) != bits(ref.limiterGain)) return "limiter";
        return "";
    }
};

// Runs `body` once per lane variant this processor runs, pinned to it.
void onEveryPath(const std::function<void(const char*)>& body) {
    int ran = 0;
    for (int p = 0; p < brs::LANE_PATHS; ++p) {
        const auto path = static_cast<brs::LanePath>(p);
        if (!brs::pinLanePath(path)) continue;
        ++ran;
        body(brs::laneKernels(path)->name);
    }
    brs::unpinLanePath();
    EXPECT_GE(ran, 1);
}

// A dense random groove: every track, ratchets (pending hits across blocks),
// swing, sends; voices end on every frame of a block sooner or later.
void denseGroove(Engine& e, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    brskern_set_bpm(&e, 150.0f + 100.0f * u(rng));
    brskern_set_swing(&e, 30.0f * u(rng));
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_set_param(&e, t, "decay", 0.02f + 0.4f * u(rng));
        brskern_set_param(&e, t, "delaySend", u(rng));
        brskern_set_param(&e, t, "reverbSend", u(rng));
        brskern_set_param(&e, t, "gate", 0.1f + u(rng));
        brskern_set_param(&e, t, "open", u(rng));
        brskern_set_wave(&e, t, u(rng) < 0.5f);
        for (uint32_t s = 0; s < 16; ++s)
            brskern_set_step(&e, 0, t, s, u(rng) < 0.7f, u(rng) < 0.3f, static_cast<int>(30 * u(rng)) - 15,
                             1 + static_cast<int>(4 * u(rng)), static_cast<int>(16 * u(rng)), u(rng) < 0.3f);
    }
    brskern_start(&e);
}

}  // namespace

// The variants the processor reports are all there, and each one is used
// when pinned.
TEST(LanePaths, EveryVariantTheProcessorRunsIsAvailable) {
    ASSERT_NE(brs::laneKernels(brs::LanePath::Baseline), nullptr);
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        EXPECT_NE(brs::laneKernels(brs::LanePath::Avx2), nullptr);
    }
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    EXPECT_EQ(brs::laneKernels(brs::LanePath::Avx512) != nullptr, avx512);
    for (int p = 0; p < brs::LANE_PATHS; ++p) {
        const auto path = static_cast<brs::LanePath>(p);
        const brs::LaneKernels* k = brs::laneKernels(path);
        EXPECT_EQ(brs::pinLanePath(path), k != nullptr);
        if (k != nullptr) {
            EXPECT_EQ(&brs::activeLaneKernels(), k);
        }
    }
    brs::unpinLanePath();
    // Unpinned, the widest available variant renders.
    const brs::LaneKernels* widest = nullptr;
    for (int p = 0; p < brs::LANE_PATHS; ++p)
        if (const brs::LaneKernels* k = brs::laneKernels(static_cast<brs::LanePath>(p))) widest = k;
    EXPECT_EQ(&brs::activeLaneKernels(), widest);
}

// Sequenced grooves in ragged blocks: pending ratchet hits, voices ending at
// every position of a block, up to the cap.
TEST(LanePaths, DenseGroovesMatchTheSampleLoopInAnyBlockSize) {
    onEveryPath([](const char* path) {
        for (unsigned seed : {1u, 2u, 3u}) {
            for (float sr : {44100.0f, 48000.0f}) {
                Twin w(sr);
                w.both([&](Engine& e) { denseGroove(e, seed); });
                const uint32_t sizes[] = {1, 7, 64, 65, 100, 256, 1000, 3};
                std::size_t most = 0;
                for (int call = 0; call < 400; ++call) {
                    std::string d = w.step(sizes[call % 8]);
                    ASSERT_EQ(d, "") << path << " seed " << seed << " rate " << sr << " call " << call;
                    most = std::max(most, w.lanes.voices.size());
                }
                EXPECT_GT(most, 8u) << "the groove should stack voices";
            }
        }
    });
}

// A sparse groove: every track playing, one or two voices each at a time,
// so that all six render together as tracks of few voices (constant and
// moving filters side by side in one bank), with voices starting and ending
// anywhere inside a block.
void sparseGroove(Engine& e, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    brskern_set_bpm(&e, 160.0f + 80.0f * u(rng));
    brskern_set_swing(&e, 25.0f * u(rng));
    for (uint32_t t = 0; t < 6; ++t) {
        brskern_set_param(&e, t, "decay", 0.05f + 0.2f * u(rng));
        brskern_set_param(&e, t, "delaySend", u(rng));
        brskern_set_param(&e, t, "gate", 0.2f + 0.5f * u(rng));
        brskern_set_wave(&e, t, u(rng) < 0.5f);
        for (uint32_t s = 0; s < 16; ++s)
            brskern_set_step(&e, 0, t, s, u(rng) < 0.5f, u(rng) < 0.3f, static_cast<int>(24 * u(rng)) - 12,
                             u(rng) < 0.2f ? 2 : 1, static_cast<int>(16 * u(rng)), u(rng) < 0.3f);
    }
    brskern_start(&e);
}

TEST(LanePaths, SparseGroovesOfEveryTrackTogetherMatch) {
    onEveryPath([](const char* path) {
        for (unsigned seed : {11u, 12u, 13u}) {
            Twin w(48000.0f);
            w.both([&](Engine& e) { sparseGroove(e, seed); });
            const uint32_t sizes[] = {64, 64, 13, 64, 32, 51, 64, 128};
            int mostSparse = 0;  // calls after which four or more tracks hold one or two voices
            for (int call = 0; call < 600; ++call) {
                std::string d = w.step(sizes[call % 8]);
                ASSERT_EQ(d, "") << path << " seed " << seed << " call " << call;
                int per[6] = {};
                for (const Voice& v : w.lanes.voices) ++per[v.track];
                int sparse = 0;
                for (int t = 0; t < 6; ++t) sparse += per[t] >= 1 && per[t] <= 2 ? 1 : 0;
                mostSparse += sparse >= 4 ? 1 : 0;
            }
            EXPECT_GT(mostSparse, 10) << path << " seed " << seed << ": the groove should keep most tracks sounding sparsely";
        }
    });
}

// 64 voices of every track at once (the cap), plus refused extras; ragged
// lengths make them end one after another inside blocks.
TEST(LanePaths, SixtyFourVoicesAtTheCapMatch) {
    onEveryPath([](const char* path) {
        for (uint32_t track = 0; track < 7; ++track) {  // 6: all tracks mixed
            Twin w(48000.0f);
            w.both([&](Engine& e) {
                for (int i = 0; i < 70; ++i) {
                    const uint32_t t = track < 6 ? track : static_cast<uint32_t>(i % 6);
                    brskern_set_param(&e, t, "decay", 0.01f + 0.003f * static_cast<float>(i));
                    brskern_set_param(&e, t, "gate", 0.05f + 0.01f * static_cast<float>(i));
                    brskern_set_param(&e, t, "delaySend", 0.01f * static_cast<float>(i));
                    brskern_trigger(&e, t, static_cast<uint32_t>(i), i % 3 == 0, 30.0f + static_cast<float>(i % 40),
                                    0.2f + 0.01f * static_cast<float>(i));
                }
            });
            ASSERT_EQ(w.lanes.voices.size(), brs::MAX_VOICES);
            for (int call = 0; call < 120 && !w.ref.voices.empty(); ++call)
                ASSERT_EQ(w.step(call % 2 ? 256 : 77), "") << path << " track " << track << " call " << call;
            EXPECT_TRUE(w.lanes.voices.empty());
        }
    });
}

// Parameters no host sends (negative, huge, NaN, infinite) push lanes off the
// vector path (phases running backwards, sine arguments out of range) or make
// voices non-finite; both paths must agree on every sample and every ending.
TEST(LanePaths, HostileParametersAndNonFiniteVoicesMatch) {
    const float nasty[] = {-1e30f, -100.0f, -1.0f, -0.01f, 0.0f, 1e-30f, 1e30f, INFINITY, -INFINITY, NAN, 1e6f};
    onEveryPath([&](const char* path) {
        const unsigned seed = 0x1A7E;
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> pick(0, 10), param(0, brs::NUM_PARAMS - 1), track(0, 5);
        Twin w(48000.0f);
        for (int round = 0; round < 300; ++round) {
            const uint32_t t = static_cast<uint32_t>(track(rng));
            const int i = param(rng);
            const float value = nasty[pick(rng)];
            const float note = round % 5 == 0 ? nasty[pick(rng)] : 20.0f + static_cast<float>(round % 90);
            const float gain = round % 7 == 0 ? nasty[pick(rng)] : 0.7f;
            w.both([&](Engine& e) {
                e.tracks[t].p[i] = value;
                if (e.tracks[t].p[brs::P_DECAY] > 1.0f || !(e.tracks[t].p[brs::P_DECAY] > 0.0f))
                    e.tracks[t].p[brs::P_DECAY] = 0.3f;  // keep the list moving
                brskern_trigger(&e, t, static_cast<uint32_t>(round), round % 2, note, gain);
            });
            ASSERT_EQ(w.step(round % 3 ? 64 : 19), "") << path << " seed " << seed << " round " << round;
        }
    });
}

// The same with only a few voices at a time, so that each track renders as a
// track of few voices: lanes leaving the handled ranges send their group back
// to frame-by-frame rendering, and both paths must still agree.
TEST(LanePaths, HostileParametersOnTracksOfFewVoicesMatch) {
    const float nasty[] = {-1e30f, -100.0f, -1.0f, -0.01f, 0.0f, 1e-30f, 1e30f, INFINITY, -INFINITY, NAN, 1e6f};
    onEveryPath([&](const char* path) {
        const unsigned seed = 0xF3E5;
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> pick(0, 10), param(0, brs::NUM_PARAMS - 1), track(0, 5), few(1, 3);
        for (int round = 0; round < 150; ++round) {
            Twin w(48000.0f);
            const int voices = few(rng);
            for (int v = 0; v < voices; ++v) {
                const uint32_t t = static_cast<uint32_t>(track(rng));
                const int i = param(rng);
                const float value = nasty[pick(rng)];
                const float note = v == 0 && round % 2 == 0 ? nasty[pick(rng)] : 30.0f + static_cast<float>(round % 60);
                w.both([&](Engine& e) {
                    e.tracks[t].p[i] = value;
                    if (e.tracks[t].p[brs::P_DECAY] > 1.0f || !(e.tracks[t].p[brs::P_DECAY] > 0.0f))
                        e.tracks[t].p[brs::P_DECAY] = 0.3f;
                    brskern_trigger(&e, t, static_cast<uint32_t>(round), round % 2, note, 0.7f);
                });
            }
            for (uint32_t n : {64u, 19u, 100u, 64u})
                ASSERT_EQ(w.step(n), "") << path << " seed " << seed << " round " << round;
        }
    });
}

// A voice whose first sample is not finite (an infinite gain) ends on that
// frame, in the middle of a block, next to voices that keep sounding; it
// still adds its 0 to the buses on that frame. Alone, with one companion
// (a track of few voices) and with nine (a track of many).
TEST(LanePaths, AVoiceTurningNonFiniteMidBlockMatches) {
    onEveryPath([](const char* path) {
        for (int others : {0, 1, 9}) {
            for (uint32_t track = 0; track < 6; ++track) {
                Twin w(48000.0f);
                w.both([&](Engine& e) {
                    brskern_set_param(&e, track, "delaySend", 0.5f);
                    for (int i = 0; i < others; ++i) brskern_trigger(&e, track, 0, false, 36.0f + i, 0.5f);
                    e.spawnVoice(track, 37.5f / 48000.0f, 0.5f, INFINITY, 40.0f, 2, 0);
                    brskern_trigger(&e, (track + 1) % 6, 0, false, 36.0f, 0.8f);
                });
                const std::size_t n = static_cast<std::size_t>(others) + 2;
                ASSERT_EQ(w.lanes.voices.size(), n);
                ASSERT_EQ(w.step(30), "") << path;
                EXPECT_EQ(w.lanes.voices.size(), n) << path << " track " << track << ": not started yet";
                ASSERT_EQ(w.step(30), "") << path << " track " << track << " with " << others;
                EXPECT_EQ(w.lanes.voices.size(), n - 1) << path << " track " << track << " with " << others;
                ASSERT_EQ(w.step(100), "") << path;
            }
        }
    });
}

// A voice keeps what it works out for a sample rate only for that rate:
// changing the engine's rate under sounding voices renders them afresh.
TEST(LanePaths, ARateChangeUnderSoundingVoicesMatches) {
    onEveryPath([](const char* path) {
        Twin w(48000.0f);
        w.both([](Engine& e) {
            for (uint32_t t = 0; t < 6; ++t) {
                brskern_set_param(&e, t, "decay", 2.0f);
                brskern_set_param(&e, t, "gate", 4.0f);
                for (int i = 0; i < 3; ++i) brskern_trigger(&e, t, 3, i == 1, 40.0f + 5.0f * i, 0.6f);
            }
        });
        for (int call = 0; call < 30; ++call) {
            if (call == 10) w.both([](Engine& e) { e.sampleRate = 22050.0f; });
            if (call == 20) w.both([](Engine& e) { e.sampleRate = 96000.0f; });
            ASSERT_EQ(w.step(100), "") << path << " call " << call;
        }
        EXPECT_EQ(w.lanes.voices.size(), 18u);
    });
}

// Triggered voices (no sequencer) sound the same whatever the block size,
// on every path, frame by frame as in one long call.
TEST(LanePaths, BlockSizeDoesNotChangeTriggeredVoices) {
    onEveryPath([](const char* path) {
        auto run = [](uint32_t block) {
            Engine e(44100.0f);
            std::vector<float> out(2 * 512 * 40);
            for (int chunk = 0; chunk < 40; ++chunk) {
                for (uint32_t t = 0; t < 6; ++t)
                    if ((chunk + t) % 4 == 0) brskern_trigger(&e, t, chunk, chunk % 2, 36.0f + chunk % 12, 0.8f);
                for (uint32_t done = 0; done < 512;) {
                    const uint32_t n = std::min(block, 512 - done);
                    brskern_process(&e, out.data() + 2 * (chunk * 512 + done), n);
                    done += n;
                }
            }
            return out;
        };
        const std::vector<float> ref = run(512);
        for (uint32_t block : {1u, 5u, 63u, 64u, 65u, 200u}) {
            const std::vector<float> out = run(block);
            EXPECT_EQ(std::memcmp(out.data(), ref.data(), out.size() * 4), 0) << path << " block " << block;
        }
    });
}
