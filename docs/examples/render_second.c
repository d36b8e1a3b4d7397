/* One second of a four-to-the-floor kick from the brisanto kernel, written to
 * standard output as raw 32-bit float stereo at 48000 Hz:
 *   cc render_second.c -lbrskern -o render_second
 *   ./render_second | aplay -f FLOAT_LE -c 2 -r 48000                        */
#include <stdio.h>
#include <brskern.h>

int main(void) {
    static float out[2 * 48000];                 /* interleaved left, right */
    brskern_t k = brskern_new(48000.0f);
    for (int step = 0; step < 16; step += 4)     /* pattern 1, track 0 (kick) */
        brskern_set_step(k, 0, 0, step, 1, step == 0, 0, 1, 0, 0);
    brskern_start(k);
    brskern_process(k, out, 48000);
    brskern_free(k);
    return fwrite(out, sizeof out, 1, stdout) == 1 ? 0 : 1;
}
