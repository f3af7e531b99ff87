/* Tags through TagLib, with FFmpeg's metadata as the fallback for files TagLib does not know.
 *
 * Keys read (TagLib's unified property names, so each holds for ID3v2, Vorbis comments, FLAC,
 * Opus, MP4 and APE alike):
 *   TITLE ARTIST ALBUM ALBUMARTIST GENRE DATE (or YEAR, ORIGINALDATE) TRACKNUMBER
 *   MOOD                 ID3v2 TMOO, Vorbis/FLAC MOOD, MP4 ----:com.apple.iTunes:MOOD
 *   BPM                  ID3v2 TBPM, Vorbis BPM, MP4 tmpo
 *   VALENCE              ID3v2 TXXX:VALENCE, Vorbis VALENCE, MP4 ----:com.apple.iTunes:VALENCE
 *   ENERGY or AROUSAL    the same for energy; AROUSAL wins when both are present
 *   COUNTRY, RELEASECOUNTRY   origin (ISO 3166 code or English name)
 * Values of VALENCE/ENERGY/AROUSAL are read as 0..1, or 0..100 (also with "%"), or "n/10". */
#include <stdlib.h>

#include <mutex>

#include <taglib/fileref.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/tpropertymap.h>
#include <taglib/tstring.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include "veltra_analysis.h"

namespace analysis {
namespace {

std::string first(const TagLib::PropertyMap &map, const char *key) {
    auto it = map.find(key);
    if (it == map.end() || it->second.isEmpty()) return {};
    return it->second.front().stripWhiteSpace().to8Bit(true);
}

/* All values of a key joined by ';' (genres come as several values in Vorbis comments). */
std::string joined(const TagLib::PropertyMap &map, const char *key) {
    auto it = map.find(key);
    if (it == map.end()) return {};
    std::string out;
    for (const TagLib::String &s : it->second) {
        if (!out.empty()) out += ';';
        out += s.stripWhiteSpace().to8Bit(true);
    }
    return out;
}

void finish(Tags *t, const std::string &track, const std::string &bpm, const std::string &valence,
            const std::string &energy, const std::string &arousal) {
    t->track = static_cast<uint32_t>(strtoul(track.c_str(), nullptr, 10));  /* "3/12" -> 3 */
    t->bpm = bpm.empty() ? 0 : strtod(bpm.c_str(), nullptr);
    if (!(t->bpm > 0 && t->bpm < 1000)) t->bpm = 0;
    t->valence = parse_unit_value(valence);
    t->arousal = parse_unit_value(arousal.empty() ? energy : arousal);
}

bool read_ffmpeg(const char *path, Tags *t) {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, path, nullptr, nullptr) < 0) return false;
    auto get = [&](const char *key) -> std::string {
        const AVDictionaryEntry *e = av_dict_get(fmt->metadata, key, nullptr, 0);
        for (unsigned i = 0; !e && i < fmt->nb_streams; ++i)
            e = av_dict_get(fmt->streams[i]->metadata, key, nullptr, 0);
        return e && e->value ? to_utf8(e->value) : std::string();
    };
    if (fmt->nb_streams == 0) avformat_find_stream_info(fmt, nullptr);
    t->title = get("title");
    t->artist = get("artist");
    t->album = get("album");
    t->album_artist = get("album_artist");
    t->genre = get("genre");
    t->date = get("date");
    t->country = get("country");
    t->mood = get("mood");
    std::string bpm = get("TBPM");
    finish(t, get("track"), bpm.empty() ? get("bpm") : bpm, get("valence"), get("energy"),
           get("arousal"));
    avformat_close_input(&fmt);
    return true;
}

}  // namespace

double parse_unit_value(const std::string &text) {
    const char *s = text.c_str();
    char *end = nullptr;
    double v = strtod(s, &end);
    if (end == s || !(v >= 0)) return -1;
    while (*end == ' ') ++end;
    if (*end == '%') {
        v /= 100.0;
        ++end;
    } else if (*end == '/') {
        char *end2 = nullptr;
        double scale = strtod(end + 1, &end2);
        if (end2 == end + 1 || !(scale > 0)) return -1;
        v /= scale;
        end = end2;
    } else if (v > 1.0) {
        v /= 100.0;
    }
    while (*end == ' ') ++end;
    return *end == 0 && v >= 0 && v <= 1 ? v : -1;
}

bool read_tags(const char *path, Tags *t) {
    *t = Tags();
    TagLib::FileRef ref(path, false);
    if (ref.isNull() || !ref.file() || !ref.file()->isValid()) return read_ffmpeg(path, t);
    TagLib::PropertyMap map = ref.file()->properties();
    /* MP4 freeform atoms beyond the few TagLib names: ----:com.apple.iTunes:KEY -> KEY. */
    if (auto *mp4 = dynamic_cast<TagLib::MP4::File *>(ref.file()); mp4 && mp4->tag()) {
        static const char kPrefix[] = "----:com.apple.iTunes:";
        for (const auto &item : mp4->tag()->itemMap()) {
            if (!item.first.startsWith(kPrefix)) continue;
            TagLib::String key = item.first.substr(sizeof kPrefix - 1).upper();
            if (!map.contains(key)) map.insert(key, item.second.toStringList());
        }
    }
    t->title = first(map, "TITLE");
    t->artist = first(map, "ARTIST");
    t->album = first(map, "ALBUM");
    t->album_artist = first(map, "ALBUMARTIST");
    t->genre = joined(map, "GENRE");
    t->date = first(map, "DATE");
    if (t->date.empty()) t->date = first(map, "YEAR");
    if (t->date.empty()) t->date = first(map, "ORIGINALDATE");
    t->country = first(map, "COUNTRY");
    if (t->country.empty()) t->country = first(map, "RELEASECOUNTRY");
    t->mood = first(map, "MOOD");
    finish(t, first(map, "TRACKNUMBER"), first(map, "BPM"), first(map, "VALENCE"),
           first(map, "ENERGY"), first(map, "AROUSAL"));
    return true;
}

}  // namespace analysis
