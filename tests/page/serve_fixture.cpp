/* Serves two catalogs for the browser test and prints their addresses as one JSON line:
 * a generated one without audio files and a small one whose tracks are real audio files made
 * by ffmpeg. Runs until its standard input closes. Usage: serve_fixture DIR */
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "serve.h"
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
    const std::string cmd = "ffmpeg -v error -f lavfi -i sine=frequency=330:duration=2 -c:a libopus -y " + audio;
    if (system(cmd.c_str()) != 0) return fail("ffmpeg", 0);
    const veltra_manager_list_entry_t *e = nullptr;
    uint32_t n = 0, mood = 0;
    if (uint32_t code = veltra_manager_list_entries(VELTRA_LIST_TYPE_MOODS, &e, &n)) return fail("moods", code);
    for (uint32_t i = 0; i < n && !mood; ++i)
        if (e[i].level == 2) mood = e[i].id;
    veltra_catalog_writer_t *w = nullptr;
    if (uint32_t code = veltra_catalog_writer_begin(path.c_str(), VELTRA_CATALOG_WRITE_REPLACE, &w))
        return fail("writer", code);
    for (uint32_t i = 0; i < 12; ++i) {
        std::string ident = "tone" + std::to_string(i), title = "Tone " + std::to_string(i + 1);
        veltra_catalog_row_t row{};
        row.ident = ident.c_str();
        row.album_ident = "tones";
        row.album = "Tones";
        row.album_artist = row.artist = "Test Signal";
        row.title = title.c_str();
        row.mood = mood;
        row.genre = row.origin = row.era = 1;
        row.media.path = audio.c_str();
        row.media.placed_by = VELTRA_CATALOG_PLACED_ANALYSIS;
        if (uint32_t code = veltra_catalog_writer_add(w, &row)) {
            veltra_catalog_writer_abort(w);
            return fail("adding a track", code);
        }
    }
    if (uint32_t code = veltra_catalog_writer_commit(w, "Tones", "")) return fail("commit", code);
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
    server::ServeOptions o;
    o.port = 0;
    o.catalog = sample;
    if (a.start(o)) return 1;
    o.catalog = tones;
    if (b.start(o)) return 1;
    printf("{\"sample\":\"%s\",\"audio\":\"%s\"}\n", a.url().c_str(), b.url().c_str());
    fflush(stdout);
    while (getchar() != EOF) {
    }
    a.stop();
    b.stop();
    veltra_manager_stop();
    return 0;
}
