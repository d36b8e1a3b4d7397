// patimage.cpp: the binary pattern image, 8 patterns x 6 tracks x 64 steps
// of six bytes (on, acc, note, rat, slice, rev) in pattern store order.
#include "engine/brskern.h"
#include "engine/engine.h"
#include "set/set.h"

namespace brs {

bool load_pats(Engine& e, const std::uint8_t* image, std::size_t length) {
    if (!image || length < PAT_IMAGE_BYTES || e.pats.size() < NUM_PATTERNS) return false;
    const std::uint8_t* b = image;
    for (int p = 0; p < NUM_PATTERNS; ++p)
        for (int t = 0; t < NUM_TRACKS; ++t)
            for (int s = 0; s < NUM_STEPS; ++s, b += 6) {
                Step& st = e.pats[p].steps[t][s];
                st.on = b[0] != 0;
                st.acc = b[1] != 0;
                st.note = static_cast<std::int8_t>(b[2]);
                st.rat = b[3] == 0 ? 1 : b[3];
                st.slice = b[4];
                st.rev = b[5] != 0;
            }
    return true;
}

}  // namespace brs

extern "C" BRSKERN_API bool brskern_load_pats(brskern_t h, const uint8_t* image, size_t len) {
    return h && brs::load_pats(*h, image, len);
}
