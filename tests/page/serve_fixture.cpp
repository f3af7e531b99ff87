/* Serves two catalogs for the browser test and prints their addresses as one JSON line:
 * a generated one without audio files and a small one whose tracks are real audio files made
 * by ffmpeg. Runs until its standard input closes. Usage: serve_fixture DIR */
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "serve.h"
#include "serve_support.h"
#include "veltra_catalog.h"
#include "veltra_manager_app.h"

namespace {

int fail(const char *what, uint32_t code) {
    fprintf(stderr, "serve_fixture: %s: 0x%08X\n", what, code);
    return 1;
}

/* Twelve tracks of two seconds in one mood, every one playable. */
int make_audio_catalog(const std::string &dir, const std::string &path) {
    const std::string audio = dir + "/tone.ogg";
    if (!vt::make_tone(audio, 330, 2, "-c:a libopus")) return fail("ffmpeg", 0);
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0, mood = 0;
    if (uint32_t code = veltra_manager_list_entries(VELTRA_LIST_TYPE_MOODS, &e, &n)) return fail("moods", code);
    for (uint32_t i = 0; i < n && !mood; ++i)
        if (e[i].level == 2) mood = e[i].id;
    if (uint32_t code = vt::write_audio_catalog(path, VELTRA_CATALOG_WRITE_REPLACE, 12, "tones", "Tones",
                                                "Test Signal", "Tones", [&](uint32_t i, vt::AudioTrack &t) {
            t.ident = "tone" + std::to_string(i);
            t.title = "Tone " + std::to_string(i + 1);
            t.path = audio;
            t.row.mood = mood;
            t.row.genre = t.row.origin = t.row.era = 1;
        }))
        return fail("writing the catalog", code);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) return fprintf(stderr, "usage: serve_fixture DIR\n"), 2;
    const std::string dir = argv[1], sample = dir + "/sample.vmcat", tones = dir + "/tones.vmcat";
    const veltra_manager_t *m = nullptr;
    veltra_manager_start(&m);
    remove(sample.c_str());
    if (uint32_t code = veltra_catalog_generate(sample.c_str(), 2000, 7, 0, nullptr, nullptr))
        return fail("generating", code);
    if (make_audio_catalog(dir, tones)) return 1;
    server::Server a, b;
    if (vt::start_local(a, sample) || vt::start_local(b, tones)) return 1;
    printf("{\"sample\":\"%s\",\"audio\":\"%s\"}\n", a.url().c_str(), b.url().c_str());
    fflush(stdout);
    while (getchar() != EOF) {
    }
    a.stop();
    b.stop();
    veltra_manager_stop();
    return 0;
}
