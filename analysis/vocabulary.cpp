/* Matching tag texts to the ids of the lists: moods, genres (with aliases and ID3v1 numbers),
 * origins (from country codes and names) and eras (from years). */
#include <ctype.h>
#include <stdlib.h>

#include <taglib/id3v1genres.h>

#include "veltra_analysis.h"

namespace analysis {
namespace {

/* Genre aliases: a folded tag text -> the English name of a genre of the list. Texts that are
 * a list name in either locale need no entry. */
constexpr const char *kGenreAliases[][2] = {
    {"hip hop", "Hip-Hop"}, {"hiphop", "Hip-Hop"}, {"rap", "Hip-Hop"}, {"gangsta rap", "Hip-Hop"},
    {"gangsta", "Hip-Hop"}, {"trap", "Hip-Hop"}, {"grime", "Hip-Hop"},
    {"electronica", "Electronic"}, {"electro", "Electronic"}, {"edm", "Electronic"},
    {"techno", "Electronic"}, {"house", "Electronic"}, {"trance", "Electronic"},
    {"dance", "Electronic"}, {"drum and bass", "Electronic"}, {"drum n bass", "Electronic"},
    {"dnb", "Electronic"}, {"dubstep", "Electronic"}, {"ambient", "Electronic"},
    {"idm", "Electronic"}, {"chiptune", "Electronic"}, {"synthwave", "Electronic"},
    {"industrial", "Electronic"}, {"downtempo", "Electronic"}, {"trip hop", "Electronic"},
    {"breakbeat", "Electronic"}, {"electronic dance music", "Electronic"},
    {"score", "Soundtrack"}, {"film score", "Soundtrack"}, {"ost", "Soundtrack"},
    {"original soundtrack", "Soundtrack"}, {"game", "Soundtrack"}, {"video game", "Soundtrack"},
    {"videogame", "Soundtrack"}, {"game music", "Soundtrack"}, {"vgm", "Soundtrack"},
    {"musical", "Soundtrack"}, {"show tunes", "Soundtrack"}, {"cinematic", "Soundtrack"},
    {"film", "Soundtrack"}, {"movie", "Soundtrack"}, {"anime", "Soundtrack"},
    {"alternative", "Rock"}, {"alternative rock", "Rock"}, {"alt rock", "Rock"}, {"indie", "Rock"},
    {"indie rock", "Rock"}, {"punk", "Rock"}, {"punk rock", "Rock"}, {"grunge", "Rock"},
    {"hard rock", "Rock"}, {"classic rock", "Rock"}, {"progressive rock", "Rock"},
    {"prog rock", "Rock"}, {"psychedelic", "Rock"}, {"psychedelic rock", "Rock"},
    {"rock and roll", "Rock"}, {"rock n roll", "Rock"}, {"garage rock", "Rock"},
    {"post rock", "Rock"}, {"emo", "Rock"}, {"britpop", "Rock"}, {"new wave", "Rock"},
    {"heavy metal", "Metal"}, {"death metal", "Metal"}, {"black metal", "Metal"},
    {"thrash metal", "Metal"}, {"doom metal", "Metal"}, {"power metal", "Metal"},
    {"metalcore", "Metal"}, {"nu metal", "Metal"}, {"progressive metal", "Metal"},
    {"synthpop", "Pop"}, {"synth pop", "Pop"}, {"dance pop", "Pop"}, {"k pop", "Pop"},
    {"kpop", "Pop"}, {"j pop", "Pop"}, {"jpop", "Pop"}, {"indie pop", "Pop"}, {"europop", "Pop"},
    {"disco", "Pop"}, {"schlager", "Pop"}, {"pop rock", "Pop"}, {"teen pop", "Pop"},
    {"swing", "Jazz"}, {"bebop", "Jazz"}, {"big band", "Jazz"}, {"fusion", "Jazz"},
    {"jazz fusion", "Jazz"}, {"smooth jazz", "Jazz"}, {"acid jazz", "Jazz"},
    {"orchestral", "Classical"}, {"baroque", "Classical"}, {"opera", "Classical"},
    {"symphony", "Classical"}, {"chamber music", "Classical"}, {"classic", "Classical"},
    {"contemporary classical", "Classical"}, {"romantic", "Classical"}, {"choral", "Classical"},
    {"delta blues", "Blues"}, {"chicago blues", "Blues"}, {"blues rock", "Blues"},
    {"bluegrass", "Country"}, {"americana", "Country"}, {"country and western", "Country"},
    {"western", "Country"}, {"alt country", "Country"},
    {"folk rock", "Folk"}, {"singer songwriter", "Folk"}, {"acoustic", "Folk"}, {"celtic", "Folk"},
    {"traditional", "Folk"}, {"folk pop", "Folk"},
    {"r and b", "R&B"}, {"rnb", "R&B"}, {"r n b", "R&B"}, {"rhythm and blues", "R&B"},
    {"contemporary r and b", "R&B"},
    {"ska", "Reggae"}, {"dub", "Reggae"}, {"dancehall", "Reggae"}, {"roots reggae", "Reggae"},
    {"salsa", "Latin"}, {"bossa nova", "Latin"}, {"samba", "Latin"}, {"tango", "Latin"},
    {"reggaeton", "Latin"}, {"bachata", "Latin"}, {"merengue", "Latin"}, {"cumbia", "Latin"},
    {"latin pop", "Latin"},
    {"funk", "Soul"}, {"motown", "Soul"}, {"gospel", "Soul"}, {"neo soul", "Soul"},
    {"world music", "World"}, {"ethnic", "World"}, {"afrobeat", "World"}, {"flamenco", "World"},
};

/* Countries -> the English name of a region of the origin list. ISO 3166 alpha-2 codes and
 * English names, folded. */
constexpr const char *kCountries[][2] = {
    {"us", "North America"}, {"usa", "North America"}, {"united states", "North America"},
    {"ca", "North America"}, {"canada", "North America"},
    {"mx", "Latin America"}, {"mexico", "Latin America"}, {"br", "Latin America"},
    {"brazil", "Latin America"}, {"ar", "Latin America"}, {"argentina", "Latin America"},
    {"co", "Latin America"}, {"colombia", "Latin America"}, {"cl", "Latin America"},
    {"chile", "Latin America"}, {"pe", "Latin America"}, {"peru", "Latin America"},
    {"ve", "Latin America"}, {"venezuela", "Latin America"},
    {"gb", "British Isles"}, {"uk", "British Isles"}, {"united kingdom", "British Isles"},
    {"england", "British Isles"}, {"scotland", "British Isles"}, {"wales", "British Isles"},
    {"ie", "British Isles"}, {"ireland", "British Isles"},
    {"fr", "Western Europe"}, {"france", "Western Europe"}, {"be", "Western Europe"},
    {"belgium", "Western Europe"}, {"nl", "Western Europe"}, {"netherlands", "Western Europe"},
    {"lu", "Western Europe"}, {"luxembourg", "Western Europe"},
    {"de", "German-Speaking Europe"}, {"germany", "German-Speaking Europe"},
    {"at", "German-Speaking Europe"}, {"austria", "German-Speaking Europe"},
    {"ch", "German-Speaking Europe"}, {"switzerland", "German-Speaking Europe"},
    {"se", "Nordic Countries"}, {"sweden", "Nordic Countries"}, {"no", "Nordic Countries"},
    {"norway", "Nordic Countries"}, {"dk", "Nordic Countries"}, {"denmark", "Nordic Countries"},
    {"fi", "Nordic Countries"}, {"finland", "Nordic Countries"}, {"is", "Nordic Countries"},
    {"iceland", "Nordic Countries"},
    {"it", "Southern Europe"}, {"italy", "Southern Europe"}, {"es", "Southern Europe"},
    {"spain", "Southern Europe"}, {"pt", "Southern Europe"}, {"portugal", "Southern Europe"},
    {"gr", "Southern Europe"}, {"greece", "Southern Europe"},
    {"pl", "Eastern Europe"}, {"poland", "Eastern Europe"}, {"cz", "Eastern Europe"},
    {"czech republic", "Eastern Europe"}, {"ru", "Eastern Europe"}, {"russia", "Eastern Europe"},
    {"ua", "Eastern Europe"}, {"ukraine", "Eastern Europe"}, {"hu", "Eastern Europe"},
    {"hungary", "Eastern Europe"}, {"ro", "Eastern Europe"}, {"romania", "Eastern Europe"},
    {"bg", "Eastern Europe"}, {"bulgaria", "Eastern Europe"}, {"sk", "Eastern Europe"},
    {"rs", "Eastern Europe"}, {"serbia", "Eastern Europe"}, {"hr", "Eastern Europe"},
    {"croatia", "Eastern Europe"},
    {"ng", "Africa"}, {"nigeria", "Africa"}, {"za", "Africa"}, {"south africa", "Africa"},
    {"gh", "Africa"}, {"ghana", "Africa"}, {"sn", "Africa"}, {"senegal", "Africa"},
    {"ml", "Africa"}, {"mali", "Africa"}, {"ke", "Africa"}, {"kenya", "Africa"},
    {"eg", "Middle East"}, {"egypt", "Middle East"}, {"il", "Middle East"},
    {"israel", "Middle East"}, {"tr", "Middle East"}, {"turkey", "Middle East"},
    {"ir", "Middle East"}, {"iran", "Middle East"}, {"lb", "Middle East"},
    {"lebanon", "Middle East"},
    {"in", "South Asia"}, {"india", "South Asia"}, {"pk", "South Asia"},
    {"pakistan", "South Asia"}, {"bd", "South Asia"}, {"bangladesh", "South Asia"},
    {"jp", "East Asia"}, {"japan", "East Asia"}, {"cn", "East Asia"}, {"china", "East Asia"},
    {"kr", "East Asia"}, {"korea", "East Asia"}, {"south korea", "East Asia"},
    {"tw", "East Asia"}, {"taiwan", "East Asia"}, {"hk", "East Asia"},
    {"th", "Southeast Asia"}, {"thailand", "Southeast Asia"}, {"vn", "Southeast Asia"},
    {"vietnam", "Southeast Asia"}, {"id", "Southeast Asia"}, {"indonesia", "Southeast Asia"},
    {"ph", "Southeast Asia"}, {"philippines", "Southeast Asia"}, {"my", "Southeast Asia"},
    {"malaysia", "Southeast Asia"}, {"sg", "Southeast Asia"}, {"singapore", "Southeast Asia"},
    {"au", "Oceania"}, {"australia", "Oceania"}, {"nz", "Oceania"}, {"new zealand", "Oceania"},
    {"jm", "Caribbean"}, {"jamaica", "Caribbean"}, {"cu", "Caribbean"}, {"cuba", "Caribbean"},
    {"tt", "Caribbean"}, {"trinidad and tobago", "Caribbean"}, {"ht", "Caribbean"},
    {"haiti", "Caribbean"}, {"do", "Caribbean"}, {"dominican republic", "Caribbean"},
    {"pr", "Caribbean"}, {"puerto rico", "Caribbean"}, {"bb", "Caribbean"},
};

bool parse_uint(const std::string &s, uint32_t *out) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    *out = static_cast<uint32_t>(strtoul(s.c_str(), nullptr, 10));
    return true;
}

uint32_t by_name(const std::vector<ListEntry> &list, const std::string &folded) {
    for (const ListEntry &e : list)
        if (fold(e.name_en) == folded || fold(e.name_de) == folded || fold(e.key) == folded)
            return e.id;
    return 0;
}

uint32_t by_alias(const std::vector<ListEntry> &list, const char *const (*table)[2], size_t n,
                  const std::string &folded) {
    for (size_t i = 0; i < n; ++i)
        if (folded == table[i][0]) return by_name(list, fold(table[i][1]));
    return 0;
}

/* One genre text: a name, an alias, or an ID3v1 number ("17", "(17)", "(17)Rock"). */
uint32_t one_genre(const std::vector<ListEntry> &genres, std::string text) {
    std::string folded = fold(text);
    if (folded.empty()) return 0;
    if (uint32_t id = by_name(genres, folded)) return id;
    if (uint32_t id = by_alias(genres, kGenreAliases, std::size(kGenreAliases), folded)) return id;
    uint32_t number = 0;
    std::string digits = text;
    if (!text.empty() && text[0] == '(') {
        size_t close = text.find(')');
        if (close != std::string::npos) {
            digits = text.substr(1, close - 1);
            if (close + 1 < text.size() && parse_uint(digits, &number) == false) return 0;
            if (close + 1 < text.size()) return one_genre(genres, text.substr(close + 1));
        }
    }
    if (parse_uint(digits, &number) && number < 256) {
        TagLib::String name = TagLib::ID3v1::genre(static_cast<int>(number));
        if (!name.isEmpty()) return one_genre(genres, name.to8Bit(true));
    }
    return 0;
}

}  // namespace

std::string fold(const std::string &text) {
    std::string out;
    bool space = true;
    for (unsigned char c : text) {
        if (c == '&') {
            if (!space) out += ' ';
            out += "and ";
            space = true;
        } else if (isalnum(c) || c >= 0x80) {
            out += static_cast<char>(tolower(c));
            space = false;
        } else if (c != '\'' && !space) {
            out += ' ';
            space = true;
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

bool is_utf8(const std::string &s) {
    size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (!len || i + len > n || (len == 2 && c < 0xC2)) return false;
        uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d >> 6) != 2) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

namespace {
/* Splits into valid UTF-8 runs and single bad bytes; `bad` gets each bad byte. */
template <typename Bad>
std::string repair(const std::string &s, Bad bad) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        size_t best = 0;
        for (size_t len = 1; len <= 4 && i + len <= s.size(); ++len)
            if (is_utf8(s.substr(i, len))) {
                best = len;
                break;
            }
        if (best) {
            out.append(s, i, best);
            i += best;
        } else {
            bad(&out, static_cast<unsigned char>(s[i]));
            ++i;
        }
    }
    return out;
}
}  // namespace

std::string to_utf8(const std::string &bytes) {
    if (is_utf8(bytes)) return bytes;
    return repair(bytes, [](std::string *out, unsigned char) { *out += "\xEF\xBF\xBD"; });
}

std::string escape_name(const std::string &bytes) {
    if (is_utf8(bytes)) return bytes;
    return repair(bytes, [](std::string *out, unsigned char c) {
        static const char hex[] = "0123456789ABCDEF";
        *out += "\\x";
        *out += hex[c >> 4];
        *out += hex[c & 15];
    });
}

Vocabulary::Vocabulary(std::vector<ListEntry> moods, std::vector<ListEntry> genres,
                       std::vector<ListEntry> origins, std::vector<ListEntry> eras,
                       const std::array<uint32_t, 100> &grid)
    : moods_(std::move(moods)), genres_(std::move(genres)), origins_(std::move(origins)),
      eras_(std::move(eras)), grid_(grid) {}

uint32_t Vocabulary::mood(const std::string &text) const {
    uint32_t id = 0;
    std::string trimmed = fold(text);
    if (parse_uint(trimmed, &id)) {
        for (const ListEntry &e : moods_)
            if (e.id == id && e.level == 2) return id;
        return 0;
    }
    for (const ListEntry &e : moods_)
        if (e.level == 2 && (fold(e.name_en) == trimmed || fold(e.name_de) == trimmed ||
                             fold(e.key) == trimmed))
            return e.id;
    return 0;
}

uint32_t Vocabulary::genre(const std::string &text) const {
    if (uint32_t id = one_genre(genres_, text)) return id;
    /* Several genres in one text: the first that maps. */
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(";,/|", start);
        if (end == std::string::npos) end = text.size();
        if (end > start && end - start < text.size())
            if (uint32_t id = one_genre(genres_, text.substr(start, end - start))) return id;
        start = end + 1;
    }
    return 0;
}

uint32_t Vocabulary::origin(const std::string &country) const {
    std::string folded = fold(country);
    if (folded.empty()) return 0;
    if (uint32_t id = by_name(origins_, folded)) return id;
    return by_alias(origins_, kCountries, std::size(kCountries), folded);
}

uint32_t Vocabulary::era(const std::string &date) const {
    /* The first run of four digits is the year ("1987", "1987-05-01", "05/1987"). */
    int year = 0;
    for (size_t i = 0; i + 4 <= date.size() && !year; ++i) {
        bool digits = true;
        for (size_t k = 0; k < 4; ++k) digits = digits && isdigit(static_cast<unsigned char>(date[i + k]));
        bool longer = i + 4 < date.size() && isdigit(static_cast<unsigned char>(date[i + 4]));
        if (digits && !longer && (i == 0 || !isdigit(static_cast<unsigned char>(date[i - 1]))))
            year = atoi(date.substr(i, 4).c_str());
    }
    if (year < 1000) return 0;
    /* Era names: "1970s" is a decade, "Before 1940" / "Vor 1940" everything earlier. */
    for (const ListEntry &e : eras_) {
        const std::string &n = e.name_en;
        size_t p = n.find_first_of("0123456789");
        if (p == std::string::npos) continue;
        int start = atoi(n.c_str() + p);
        bool decade = n.find('s', p) != std::string::npos && n.find_first_not_of("0123456789", p) != std::string::npos &&
                      n[n.find_first_not_of("0123456789", p)] == 's';
        if (decade ? (year >= start && year < start + 10) : (p > 0 && year < start)) return e.id;
    }
    return 0;
}

uint32_t Vocabulary::parent(uint32_t mood2) const {
    for (const ListEntry &e : moods_)
        if (e.id == mood2 && e.level == 2) return e.parent;
    return 0;
}

uint32_t Vocabulary::place(const Placement &p) const {
    uint32_t x = 0, y = 0;
    grid_cell(p, &x, &y);
    return cell_mood(x, y);
}

}  // namespace analysis
