/* The analysis library on audio that FFmpeg's encoders make here: loudness, tempo, mode and the
 * model's orderings, tags from every container, genre/era/origin/mood matching, bad files. */
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <taglib/fileref.h>
#include <taglib/mp4file.h>
#include <taglib/tpropertymap.h>
#include <taglib/mp4tag.h>

#include "veltra_analysis.h"

namespace {

using analysis::Fault;

const std::string &dir() {
    static std::string d = [] {
        char tmpl[] = "/tmp/vibemesh-analysis-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return d;
}

/* Encodes the lavfi source `src` for `seconds` into dir()/name; extra: encoder options. */
std::string make(const std::string &name, const std::string &src, double seconds,
                 const std::string &extra = "") {
    std::string path = dir() + "/" + name;
    std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i \"" + src + "\" -t " +
                      std::to_string(seconds) + " " + extra + " '" + path + "'";
    EXPECT_EQ(0, system(cmd.c_str())) << cmd;
    return path;
}

analysis::Features features(const std::string &path) {
    analysis::Features f;
    std::string detail;
    EXPECT_EQ(Fault::none, analysis::analyse_file(path.c_str(), {}, nullptr, &f, &detail))
        << path << ": " << detail;
    return f;
}

/* Decaying 1 kHz clicks at `bpm`, peak `amp`. */
std::string clicks(double bpm, double amp) {
    char s[160];
    snprintf(s, sizeof s, "aevalsrc=%g*sin(2*PI*1500*t)*exp(-mod(t\\,%g)*80):s=44100", amp, 60.0 / bpm);
    return s;
}

std::string triad(bool major) {
    return std::string("aevalsrc=0.2*(sin(2*PI*261.63*t)+sin(2*PI*") + (major ? "329.63" : "311.13") +
           "*t)+sin(2*PI*392.00*t)+0.5*sin(2*PI*523.25*t)):s=44100";
}

const char *kContainers[][2] = {{"mp3", "-c:a libmp3lame -b:a 192k"}, {"flac", ""},
                                {"ogg", "-c:a libvorbis -q:a 6"},     {"opus", "-c:a libopus -b:a 128k"},
                                {"m4a", "-c:a aac -b:a 192k"},        {"wav", ""}};

TEST(Features, LoudnessWithinHalfLuOfTheGeneratedLevelInEveryContainer) {
    /* A 1 kHz sine of peak 0.1 in one channel measures -23.0 LUFS by definition of the scale. */
    for (auto &c : kContainers) {
        std::string path = make(std::string("sine.") + c[0], "aevalsrc=0.1*sin(2*PI*1000*t):s=44100", 6,
                                std::string("-ac 1 ") + c[1]);
        analysis::Features f = features(path);
        EXPECT_NEAR(-23.0, f.loudness_lufs, 0.5) << c[0];
        EXPECT_NEAR(6.0, f.duration_s, 0.1) << c[0];
    }
}

TEST(Features, TempoOfClickTracksWithinThreeBpm) {
    for (double bpm : {90.0, 120.0, 140.0}) {
        analysis::Features f = features(make("click" + std::to_string(int(bpm)) + ".flac", clicks(bpm, 0.5), 12));
        EXPECT_NEAR(bpm, f.tempo_bpm, 3.0) << bpm;
        EXPECT_NEAR(bpm / 60.0, f.onset_rate, 0.3) << bpm;
    }
}

TEST(Features, ModeOfCleanTriads) {
    analysis::Features major = features(make("major.ogg", triad(true), 6, "-c:a libvorbis"));
    analysis::Features minor = features(make("minor.ogg", triad(false), 6, "-c:a libvorbis"));
    EXPECT_EQ(1, major.mode);
    EXPECT_EQ(-1, minor.mode);
    EXPECT_GT(major.mode_strength, 0.3);
    EXPECT_GT(minor.mode_strength, 0.3);
    EXPECT_GT(analysis::model_v1(major).valence, analysis::model_v1(minor).valence);
}

TEST(Features, LouderAndFasterMeansMoreArousal) {
    analysis::Features calm = features(make("calm.mp3", clicks(80, 0.05), 10));
    analysis::Features lively = features(make("lively.mp3", clicks(150, 0.7), 10));
    EXPECT_GT(lively.loudness_lufs, calm.loudness_lufs + 15);
    EXPECT_GT(analysis::model_v1(lively).arousal, analysis::model_v1(calm).arousal + 0.2);
}

TEST(Model, CellsRunAsTheLayoutNamesThem) {
    uint32_t x = 0, y = 0;
    analysis::grid_cell({1.0, 1.0}, &x, &y);  /* energetic and happy: top right */
    EXPECT_EQ(10u, x);
    EXPECT_EQ(1u, y);
    analysis::grid_cell({0.0, 0.0}, &x, &y);  /* calm and dark: bottom left */
    EXPECT_EQ(1u, x);
    EXPECT_EQ(10u, y);
    analysis::grid_cell({0.55, NAN}, &x, &y);
    EXPECT_EQ(6u, x);
    EXPECT_EQ(6u, y);
}

TEST(Tags, ReadFromEveryContainer) {
    const std::string meta =
        "-metadata title='Fire Walk' -metadata artist='The Sines' -metadata album='Waves' "
        "-metadata album_artist='Various' -metadata genre='Hip Hop' -metadata date=1987 "
        "-metadata track=3/12 -metadata mood=Happy -metadata VALENCE=0.8 -metadata ENERGY=72 ";
    for (auto &c : kContainers) {
        std::string path = make(std::string("tagged.") + c[0], "sine=f=440", 1, meta + c[1]);
        std::string kind = c[0];
        if (kind == "m4a") {  /* FFmpeg writes no freeform atoms: TagLib does */
            TagLib::MP4::File file(path.c_str());
            for (auto [k, v] : {std::pair{"MOOD", "Happy"}, {"VALENCE", "0.8"}, {"ENERGY", "72"}})
                file.tag()->setItem(std::string("----:com.apple.iTunes:") + k, TagLib::StringList(v));
            file.save();
        } else if (kind == "wav") {  /* nor an ID3v2 chunk in WAV */
            TagLib::FileRef file(path.c_str());
            TagLib::PropertyMap map = file.file()->properties();
            for (auto [k, v] : {std::pair{"ALBUMARTIST", "Various"}, {"MOOD", "Happy"},
                                {"VALENCE", "0.8"}, {"ENERGY", "72"}})
                map.replace(k, TagLib::StringList(v));
            file.file()->setProperties(map);
            file.save();
        }
        analysis::Tags t;
        ASSERT_TRUE(analysis::read_tags(path.c_str(), &t)) << c[0];
        EXPECT_EQ("Fire Walk", t.title) << c[0];
        EXPECT_EQ("The Sines", t.artist) << c[0];
        EXPECT_EQ("Waves", t.album) << c[0];
        EXPECT_EQ("Various", t.album_artist) << c[0];
        EXPECT_EQ("Hip Hop", t.genre) << c[0];
        EXPECT_EQ("1987", t.date.substr(0, 4)) << c[0];
        EXPECT_EQ(3u, t.track) << c[0];
        EXPECT_EQ("Happy", t.mood) << c[0];
        EXPECT_DOUBLE_EQ(0.8, t.valence) << c[0];
        EXPECT_DOUBLE_EQ(0.72, t.arousal) << c[0];
    }
}

TEST(Tags, UnitValues) {
    EXPECT_DOUBLE_EQ(0.25, analysis::parse_unit_value("0.25"));
    EXPECT_DOUBLE_EQ(0.25, analysis::parse_unit_value("25"));
    EXPECT_DOUBLE_EQ(0.25, analysis::parse_unit_value("25 %"));
    EXPECT_DOUBLE_EQ(0.25, analysis::parse_unit_value("2.5/10"));
    for (const char *bad : {"", "high", "-0.1", "140", "0.5x", "nan"})
        EXPECT_EQ(-1, analysis::parse_unit_value(bad)) << bad;
}

analysis::Vocabulary vocabulary() {
    std::array<uint32_t, 100> grid{};
    for (uint32_t i = 0; i < 100; ++i) grid[i] = 1000 + i;
    return analysis::Vocabulary(
        {{1, 1, 0, "happy", "Happy", "Fröhlich"}, {1001, 2, 1, "glow", "Warm Glow", "Warmes Glühen"}},
        {{1, 1, 0, "pop", "Pop", "Pop"}, {3, 1, 0, "hiphop", "Hip-Hop", "Hip-Hop"},
         {2, 1, 0, "rock", "Rock", "Rock"}, {6, 1, 0, "classical", "Classical", "Klassik"},
         {10, 1, 0, "rnb", "R&B", "R&B"}},
        {{3, 1, 0, "uk", "British Isles", "Britische Inseln"}, {12, 1, 0, "ea", "East Asia", "Ostasien"}},
        {{1, 1, 0, "pre", "Before 1940", "Vor 1940"}, {6, 1, 0, "80s", "1980s", "1980er"},
         {10, 1, 0, "20s", "2020s", "2020er"}},
        grid);
}

/* Texts and the id one of the vocabulary's lookups gives each. */
using Lookup = uint32_t (analysis::Vocabulary::*)(const std::string &) const;
constexpr Lookup kGenre = &analysis::Vocabulary::genre, kEra = &analysis::Vocabulary::era,
                 kOrigin = &analysis::Vocabulary::origin, kMood = &analysis::Vocabulary::mood;
struct Lookups { Lookup of; const char *text; uint32_t id; };
void expect_ids(const analysis::Vocabulary &v, std::initializer_list<Lookups> cases) {
    for (const Lookups &c : cases) EXPECT_EQ(c.id, (v.*c.of)(c.text)) << c.text;
}

TEST(Vocabulary, GenresByNameAliasAndId3Number) {
    analysis::Vocabulary v = vocabulary();
    for (const char *hiphop : {"Hip-Hop", "hip hop", "HipHop", "Rap", "(7)", "7", "Gangsta Rap"})
        EXPECT_EQ(3u, v.genre(hiphop)) << hiphop;
    expect_ids(v, {{kGenre, "(17)", 2}, {kGenre, "(17)Rock", 2}, {kGenre, "Klassik", 6},
                   {kGenre, "Rhythm & Blues", 10}, {kGenre, "RnB", 10}, {kGenre, "Polka; Grunge", 2}});
    for (const char *none : {"", "Polka", "(999)", "Pop Music Deluxe"}) EXPECT_EQ(0u, v.genre(none)) << none;
}

TEST(Vocabulary, ErasOriginsAndMoods) {
    analysis::Vocabulary v = vocabulary();
    expect_ids(v, {{kEra, "1987-05-01", 6}, {kEra, "1931", 1}, {kEra, "2024", 10},
                   {kEra, "1995", 0} /* no 1990s in this list */, {kEra, "12345", 0},
                   {kOrigin, "GB", 3}, {kOrigin, "britische inseln", 3}, {kOrigin, "Japan", 12},
                   {kOrigin, "Atlantis", 0}, {kMood, "1001", 1001}, {kMood, "warm glow", 1001},
                   {kMood, "Warmes Glühen", 1001}, {kMood, "1", 0} /* level 1 names no cell */});
    EXPECT_EQ(1u, v.parent(1001));
    EXPECT_EQ(1000u + 9, v.place({1.0, 1.0}));
}

TEST(Text, NamesThatAreNotUtf8) {
    EXPECT_TRUE(analysis::is_utf8("Motörhead – ★"));
    EXPECT_FALSE(analysis::is_utf8("Mot\xF6rhead"));
    EXPECT_FALSE(analysis::is_utf8("\xC0\xAF"));
    EXPECT_EQ("Mot\\xF6rhead", analysis::escape_name("Mot\xF6rhead"));
    EXPECT_EQ("Mot\xEF\xBF\xBDrhead", analysis::to_utf8("Mot\xF6rhead"));
}

TEST(BadFiles, EachReportedWithItsReason) {
    std::string good = make("good.mp3", "sine=f=440", 8);
    auto write = [](const std::string &name, const std::string &bytes) {
        std::string p = dir() + "/" + name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    };
    std::ifstream in(good, std::ios::binary);
    std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    struct Case { std::string path; Fault fault; } cases[] = {
        {write("empty.mp3", ""), Fault::empty},
        {write("text.flac", std::string(5000, 'x')), Fault::not_audio},
        {write("truncated.mp3", whole.substr(0, 1500)), Fault::too_short},
        {dir() + "/missing.ogg", Fault::unreadable},
        {make("silence.wav", "anullsrc=r=44100:cl=mono", 5), Fault::silent},
        {make("short.ogg", "sine=f=440", 1, "-c:a libvorbis"), Fault::too_short},
        {make("picture.png", "color=c=red:s=32x32", 1, "-frames:v 1"), Fault::not_audio},
    };
    for (const Case &c : cases) {
        analysis::Features f;
        EXPECT_EQ(c.fault, analysis::analyse_file(c.path.c_str(), {}, nullptr, &f, nullptr)) << c.path;
    }
    analysis::Limits small;
    small.max_bytes = 1000;
    analysis::Features f;
    EXPECT_EQ(Fault::too_large, analysis::analyse_file(good.c_str(), small, nullptr, &f, nullptr));
    std::atomic<bool> stop{true};
    EXPECT_EQ(Fault::interrupted, analysis::analyse_file(good.c_str(), {}, &stop, &f, nullptr));
}

}  // namespace
