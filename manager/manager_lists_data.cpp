/* The built-in lists as constant data: the moods of the two grid layouts (25 coarse moods at
 * level 1, 100 fine moods at level 2, each fine mood under the coarse mood whose cell covers
 * it), genres, origins and eras, all with English and German display strings. */
#include <string.h>

#include "manager_internal.h"

namespace {

/* Mood ids of the 5x5 grid, row after row (cell (x, y) at (y-1)*5 + x-1). */
constexpr const char *kCoarseIds[25] = {
    "65322", "42946", "65333", "65332", "42960",  //
    "42942", "65323", "42945", "65331", "65330",  //
    "65324", "42954", "42947", "42953", "42961",  //
    "42949", "65326", "65325", "42955", "42951",  //
    "42948", "65327", "65328", "65329", "42958",
};

/* Mood ids of the 10x10 grid, row after row (cell (x, y) at (y-1)*10 + x-1). */
constexpr const char *kFineIds[100] = {
    "42972", "65334", "65338", "43073", "43048", "43072", "43067", "43071", "65354", "43053",
    "42967", "42969", "42987", "65339", "43076", "65357", "43068", "43070", "65355", "43042",
    "42974", "43063", "42982", "65335", "43059", "43057", "43065", "43061", "43039", "65353",
    "65336", "65337", "42986", "42975", "42983", "43058", "43064", "43062", "43040", "43035",
    "42979", "42978", "43017", "43018", "65342", "42990", "65347", "43013", "43050", "43051",
    "42977", "43009", "43015", "42985", "42993", "42992", "43016", "65348", "43056", "65356",
    "42971", "65343", "42988", "43006", "43046", "65340", "65349", "65350", "43030", "43037",
    "42999", "43001", "43008", "43010", "43060", "65341", "43019", "65351", "43007", "43036",
    "42997", "42995", "43004", "43011", "65344", "43012", "65346", "65345", "65352", "43032",
    "42994", "42996", "43003", "43005", "43023", "43022", "43025", "43028", "43033", "43034",
};

struct Names {
    const char *en;
    const char *de;
};

/* Coarse moods in 5x5 layout order. Columns run from calm to intense, rows from bright to
 * dark. */
constexpr Names kCoarseNames[25] = {
    {"Tender Warmth", "Zarte Wärme"},
    {"Gentle Joy", "Sanfte Freude"},
    {"Sunny Cheer", "Sonnige Heiterkeit"},
    {"Bright Elation", "Strahlender Jubel"},
    {"Euphoric Rush", "Euphorischer Rausch"},
    {"Serene Comfort", "Heitere Geborgenheit"},
    {"Easy Optimism", "Leichte Zuversicht"},
    {"Playful Spark", "Verspielter Funke"},
    {"Upbeat Drive", "Schwungvoller Antrieb"},
    {"Wild Celebration", "Wildes Feiern"},
    {"Quiet Reflection", "Stille Besinnung"},
    {"Dreamy Drift", "Träumerisches Treiben"},
    {"Cool Balance", "Kühles Gleichgewicht"},
    {"Restless Pulse", "Rastloser Puls"},
    {"Fierce Energy", "Ungestüme Energie"},
    {"Wistful Longing", "Wehmütige Sehnsucht"},
    {"Mellow Melancholy", "Milde Melancholie"},
    {"Brooding Tension", "Grüblerische Spannung"},
    {"Defiant Edge", "Trotzige Schärfe"},
    {"Raging Storm", "Tobender Sturm"},
    {"Lonely Hush", "Einsame Stille"},
    {"Somber Grief", "Düstere Trauer"},
    {"Dark Unease", "Dunkle Unruhe"},
    {"Bitter Anger", "Bittere Wut"},
    {"Menacing Chaos", "Bedrohliches Chaos"},
};

/* Fine moods, four per coarse mood (in 5x5 layout order): the top-left, top-right,
 * bottom-left and bottom-right cells of the 2x2 block of the 10x10 grid that it covers. */
constexpr Names kFineNames[25][4] = {
    {{"Soft Embrace", "Sanfte Umarmung"},
     {"Glowing Affection", "Glühende Zuneigung"},
     {"Cozy Hearth", "Gemütlicher Herd"},
     {"Sweet Devotion", "Süße Hingabe"}},
    {{"Soft Smile", "Leises Lächeln"},
     {"Lighthearted Glow", "Unbeschwertes Leuchten"},
     {"Warm Contentment", "Warme Zufriedenheit"},
     {"Innocent Delight", "Unschuldiges Entzücken"}},
    {{"Summer Breeze", "Sommerbrise"},
     {"Golden Afternoon", "Goldener Nachmittag"},
     {"Carefree Stroll", "Sorgloser Bummel"},
     {"Happy Whistle", "Fröhliches Pfeifen"}},
    {{"Soaring Spirits", "Beflügelte Laune"},
     {"Radiant Triumph", "Leuchtender Triumph"},
     {"Joyful Leap", "Freudensprung"},
     {"Festive Sparkle", "Festliches Funkeln"}},
    {{"Ecstatic Peak", "Ekstatischer Gipfel"},
     {"Dancefloor Fever", "Tanzflächenfieber"},
     {"Electric Bliss", "Elektrische Seligkeit"},
     {"Adrenaline High", "Adrenalinhoch"}},
    {{"Still Morning", "Stiller Morgen"},
     {"Gentle Harbor", "Sanfter Hafen"},
     {"Tranquil Shelter", "Ruhige Zuflucht"},
     {"Slow Sunday", "Langsamer Sonntag"}},
    {{"Hopeful Dawn", "Hoffnungsvoller Tagesanbruch"},
     {"Breezy Confidence", "Lockere Zuversicht"},
     {"Open Road", "Offene Straße"},
     {"Easygoing Groove", "Lässiger Groove"}},
    {{"Cheeky Bounce", "Frecher Hüpfer"},
     {"Mischievous Wink", "Schelmisches Zwinkern"},
     {"Quirky Fun", "Schräger Spaß"},
     {"Bubbly Charm", "Sprudelnder Charme"}},
    {{"Steady Momentum", "Stetiger Schwung"},
     {"Confident Stride", "Selbstbewusster Schritt"},
     {"Road Trip Rhythm", "Roadtrip-Rhythmus"},
     {"Motivated Push", "Motivierter Anschub"}},
    {{"Party Blast", "Partyknaller"},
     {"Roaring Crowd", "Tosende Menge"},
     {"Carnival Frenzy", "Karnevalstaumel"},
     {"Victory Anthem", "Siegeshymne"}},
    {{"Inner Calm", "Innere Ruhe"},
     {"Contemplative Hour", "Nachdenkliche Stunde"},
     {"Meditative Space", "Meditativer Raum"},
     {"Gentle Solitude", "Sanfte Einsamkeit"}},
    {{"Floating Haze", "Schwebender Dunst"},
     {"Starlit Reverie", "Sternklare Träumerei"},
     {"Cloud Wandering", "Wolkenwandern"},
     {"Hazy Nostalgia", "Verschwommene Nostalgie"}},
    {{"Smooth Focus", "Geschmeidiger Fokus"},
     {"Urban Cool", "Urbane Lässigkeit"},
     {"Detached Poise", "Distanzierte Gelassenheit"},
     {"Measured Groove", "Gemessener Groove"}},
    {{"Nervous Energy", "Nervöse Energie"},
     {"Racing Thoughts", "Rasende Gedanken"},
     {"Urgent Beat", "Drängender Takt"},
     {"Night Drive", "Nachtfahrt"}},
    {{"Power Surge", "Kraftstoß"},
     {"Relentless Force", "Unerbittliche Wucht"},
     {"Heavy Thrust", "Schwerer Vorstoß"},
     {"Burning Intensity", "Brennende Intensität"}},
    {{"Faded Memories", "Verblasste Erinnerungen"},
     {"Distant Yearning", "Ferne Sehnsucht"},
     {"Bittersweet Farewell", "Bittersüßer Abschied"},
     {"Rainy Window", "Regenfenster"}},
    {{"Blue Evening", "Blauer Abend"},
     {"Soft Regret", "Leises Bedauern"},
     {"Autumn Sigh", "Herbstseufzer"},
     {"Tender Sorrow", "Zarter Kummer"}},
    {{"Gathering Clouds", "Aufziehende Wolken"},
     {"Smoldering Doubt", "Schwelender Zweifel"},
     {"Uneasy Silence", "Beklemmende Stille"},
     {"Simmering Unrest", "Brodelnde Unruhe"}},
    {{"Rebel Attitude", "Rebellische Haltung"},
     {"Gritty Resolve", "Zähe Entschlossenheit"},
     {"Sharp Sneer", "Spöttisches Grinsen"},
     {"Street Swagger", "Straßenstolz"}},
    {{"Thunderous Fury", "Donnernder Zorn"},
     {"Explosive Outburst", "Explosiver Ausbruch"},
     {"Savage Roar", "Wildes Gebrüll"},
     {"Crushing Assault", "Vernichtender Ansturm"}},
    {{"Empty Room", "Leerer Raum"},
     {"Cold Isolation", "Kalte Abgeschiedenheit"},
     {"Midnight Emptiness", "Mitternächtliche Leere"},
     {"Fading Echo", "Verhallendes Echo"}},
    {{"Heavy Heart", "Schweres Herz"},
     {"Mourning Veil", "Trauerflor"},
     {"Silent Tears", "Stille Tränen"},
     {"Lost Hope", "Verlorene Hoffnung"}},
    {{"Creeping Dread", "Schleichendes Grauen"},
     {"Haunted Shadows", "Spukende Schatten"},
     {"Ominous Fog", "Unheilvoller Nebel"},
     {"Restless Night", "Ruhelose Nacht"}},
    {{"Cold Resentment", "Kalter Groll"},
     {"Seething Rage", "Kochende Wut"},
     {"Hostile Stare", "Feindseliger Blick"},
     {"Vengeful Grudge", "Rachsüchtiger Hass"}},
    {{"Violent Frenzy", "Gewaltsamer Taumel"},
     {"Apocalyptic Roar", "Apokalyptisches Dröhnen"},
     {"Sinister Mayhem", "Finsteres Durcheinander"},
     {"Total Destruction", "Totale Zerstörung"}},
};

constexpr uint32_t parse_id(const char *s) {
    uint32_t v = 0;
    while (*s) v = v * 10 + static_cast<uint32_t>(*s++ - '0');
    return v;
}

constexpr uint32_t kMoodCount = 25 + 100;

struct MoodTable {
    veltra_manager_list_entry_t entries[kMoodCount];
};

/* Level-1 moods first, then the level-2 moods in 10x10 layout order. Fine cell (x, y) lies in
 * coarse cell ((x+1)/2, (y+1)/2), which gives both its parent and its name. */
constexpr MoodTable build_moods() {
    MoodTable t{};
    for (uint32_t i = 0; i < 25; ++i)
        t.entries[i] = {parse_id(kCoarseIds[i]), 1, 0, kCoarseIds[i], kCoarseNames[i].en,
                        kCoarseNames[i].de};
    for (uint32_t y = 1; y <= 10; ++y) {
        for (uint32_t x = 1; x <= 10; ++x) {
            uint32_t fine = (y - 1) * 10 + (x - 1);
            uint32_t coarse = ((y + 1) / 2 - 1) * 5 + ((x + 1) / 2 - 1);
            uint32_t corner = ((y - 1) % 2) * 2 + (x - 1) % 2;
            const Names &n = kFineNames[coarse][corner];
            t.entries[25 + fine] = {parse_id(kFineIds[fine]), 2, parse_id(kCoarseIds[coarse]),
                                    kFineIds[fine], n.en, n.de};
        }
    }
    return t;
}

constexpr MoodTable kMoods = build_moods();

constexpr veltra_manager_list_entry_t kGenres[] = {
    {1, 1, 0, "1", "Pop", "Pop"},
    {2, 1, 0, "2", "Rock", "Rock"},
    {3, 1, 0, "3", "Hip-Hop", "Hip-Hop"},
    {4, 1, 0, "4", "Electronic", "Elektronische Musik"},
    {5, 1, 0, "5", "Jazz", "Jazz"},
    {6, 1, 0, "6", "Classical", "Klassik"},
    {7, 1, 0, "7", "Blues", "Blues"},
    {8, 1, 0, "8", "Country", "Country"},
    {9, 1, 0, "9", "Folk", "Volksmusik"},
    {10, 1, 0, "10", "R&B", "R&B"},
    {11, 1, 0, "11", "Reggae", "Reggae"},
    {12, 1, 0, "12", "Metal", "Metal"},
    {13, 1, 0, "13", "Latin", "Lateinamerikanische Musik"},
    {14, 1, 0, "14", "Soul", "Soul"},
    {15, 1, 0, "15", "Soundtrack", "Filmmusik"},
    {16, 1, 0, "16", "World", "Weltmusik"},
};

constexpr veltra_manager_list_entry_t kOrigins[] = {
    {1, 1, 0, "1", "North America", "Nordamerika"},
    {2, 1, 0, "2", "Latin America", "Lateinamerika"},
    {3, 1, 0, "3", "British Isles", "Britische Inseln"},
    {4, 1, 0, "4", "Western Europe", "Westeuropa"},
    {5, 1, 0, "5", "German-Speaking Europe", "Deutschsprachiger Raum"},
    {6, 1, 0, "6", "Nordic Countries", "Nordeuropa"},
    {7, 1, 0, "7", "Southern Europe", "Südeuropa"},
    {8, 1, 0, "8", "Eastern Europe", "Osteuropa"},
    {9, 1, 0, "9", "Africa", "Afrika"},
    {10, 1, 0, "10", "Middle East", "Naher Osten"},
    {11, 1, 0, "11", "South Asia", "Südasien"},
    {12, 1, 0, "12", "East Asia", "Ostasien"},
    {13, 1, 0, "13", "Southeast Asia", "Südostasien"},
    {14, 1, 0, "14", "Oceania", "Ozeanien"},
    {15, 1, 0, "15", "Caribbean", "Karibik"},
};

constexpr veltra_manager_list_entry_t kEras[] = {
    {1, 1, 0, "1", "Before 1940", "Vor 1940"},
    {2, 1, 0, "2", "1940s", "1940er"},
    {3, 1, 0, "3", "1950s", "1950er"},
    {4, 1, 0, "4", "1960s", "1960er"},
    {5, 1, 0, "5", "1970s", "1970er"},
    {6, 1, 0, "6", "1980s", "1980er"},
    {7, 1, 0, "7", "1990s", "1990er"},
    {8, 1, 0, "8", "2000s", "2000er"},
    {9, 1, 0, "9", "2010s", "2010er"},
    {10, 1, 0, "10", "2020s", "2020er"},
};

template <class T, uint32_t N>
constexpr uint32_t count_of(const T (&)[N]) {
    return N;
}

constexpr mgr::ListDef kLists[] = {
    {"veltra_list_type_moods", kMoods.entries, kMoodCount},
    {"veltra_list_type_genres", kGenres, count_of(kGenres)},
    {"veltra_list_type_origins", kOrigins, count_of(kOrigins)},
    {"veltra_list_type_eras", kEras, count_of(kEras)},
};

/* ---- build-time checks of the data --------------------------------------------------------- */

constexpr bool same_text(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

/* Within each list and level: ids unique, keys equal to the ids' decimal strings, display
 * strings unique per language. */
constexpr bool list_is_consistent(const veltra_manager_list_entry_t *e, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        if (parse_id(e[i].key) != e[i].id) return false;
        for (uint32_t j = i + 1; j < n; ++j) {
            if (e[i].id == e[j].id) return false;
            if (e[i].level != e[j].level) continue;
            if (same_text(e[i].name_en, e[j].name_en) || same_text(e[i].name_de, e[j].name_de))
                return false;
        }
    }
    return true;
}

static_assert(list_is_consistent(kMoods.entries, kMoodCount), "mood list");
static_assert(list_is_consistent(kGenres, count_of(kGenres)), "genre list");
static_assert(list_is_consistent(kOrigins, count_of(kOrigins)), "origin list");
static_assert(list_is_consistent(kEras, count_of(kEras)), "era list");

}  // namespace

namespace mgr {

const ListDef *find_list(const char *list_type) {
    if (!list_type) return nullptr;
    for (const ListDef &def : kLists)
        if (strcmp(def.type, list_type) == 0) return &def;
    return nullptr;
}

}  // namespace mgr

extern "C" {

uint32_t veltra_manager_list_entries(const char *list_type,
                                     const veltra_manager_list_entry_t **p_entries,
                                     uint32_t *p_count) {
    if (!list_type || !p_entries || !p_count) return VELTRA_MANAGER_ERR_INVALID_ARG;
    const mgr::ListDef *def = mgr::find_list(list_type);
    if (!def) return VELTRA_MANAGER_ERR_NOT_FOUND;
    *p_entries = def->entries;
    *p_count = def->count;
    return 0;
}

}  // extern "C"
