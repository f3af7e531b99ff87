/* Strings against the C library, fmt, GLib and std::string: formatted printing into a buffer,
 * UTF-8 validation and character counting, and the string accumulator. */
#include <fmt/format.h>
#include <glib.h>

#include <array>

#include "bench_common.h"

namespace {

constexpr uint32_t kInputs = 1024;  // values per iteration, cycled so branches cannot settle

struct PrintfInput {
    int32_t ints[kInputs];
    uint32_t words[kInputs];
    double doubles[kInputs];
    char strings[kInputs][24];
};

const PrintfInput &printf_input() {
    static const PrintfInput *input = [] {
        auto *in = new PrintfInput;
        vb::Rng rng(11);
        for (uint32_t i = 0; i < kInputs; ++i) {
            /* Magnitudes from 1 to 10 digits, half of them negative. */
            uint64_t r = rng.next();
            int32_t v = static_cast<int32_t>(r % 2147483647u);
            for (uint32_t cut = rng.below(10); cut > 0; --cut) v /= 10;
            in->ints[i] = (r >> 40) & 1 ? -v : v;
            in->words[i] = static_cast<uint32_t>(rng.next());
            /* Doubles over many decades, both signs. */
            double mant = static_cast<double>(rng.next() >> 11) / 9007199254740992.0;
            int exp10 = static_cast<int>(rng.below(17)) - 8;
            double d = mant;
            for (int e = 0; e < (exp10 < 0 ? -exp10 : exp10); ++e) d = exp10 < 0 ? d / 10 : d * 10;
            in->doubles[i] = rng.below(2) ? -d : d;
            uint32_t len = 3 + rng.below(18);
            for (uint32_t j = 0; j < len; ++j) in->strings[i][j] = static_cast<char>('a' + rng.below(26));
            in->strings[i][len] = 0;
        }
        return in;
    }();
    return *input;
}

enum class Fmt { D, X08, S, Mixed, F3, E, G };
enum class Printer { Ours, Glibc, Fmt };

/* One formatted write of input i into buf; the three sides are spelled out so that the
 * format strings stay literals the compilers can check. */
template <Printer P>
inline uint32_t print_one(Fmt f, const PrintfInput &in, uint32_t i, char *buf, uint32_t size) {
    if constexpr (P == Printer::Ours) {
        switch (f) {
        case Fmt::D: return plx_string_snprintf(buf, size, "%d", in.ints[i]);
        case Fmt::X08: return plx_string_snprintf(buf, size, "%08x", in.words[i]);
        case Fmt::S: return plx_string_snprintf(buf, size, "%s", in.strings[i]);
        case Fmt::Mixed: return plx_string_snprintf(buf, size, "%-10s|%5d", in.strings[i], in.ints[i]);
        case Fmt::F3: return plx_string_snprintf(buf, size, "%.3f", in.doubles[i]);
        case Fmt::E: return plx_string_snprintf(buf, size, "%e", in.doubles[i]);
        case Fmt::G: return plx_string_snprintf(buf, size, "%g", in.doubles[i]);
        }
    } else if constexpr (P == Printer::Glibc) {
        switch (f) {
        case Fmt::D: return snprintf(buf, size, "%d", in.ints[i]);
        case Fmt::X08: return snprintf(buf, size, "%08x", in.words[i]);
        case Fmt::S: return snprintf(buf, size, "%s", in.strings[i]);
        case Fmt::Mixed: return snprintf(buf, size, "%-10s|%5d", in.strings[i], in.ints[i]);
        case Fmt::F3: return snprintf(buf, size, "%.3f", in.doubles[i]);
        case Fmt::E: return snprintf(buf, size, "%e", in.doubles[i]);
        case Fmt::G: return snprintf(buf, size, "%g", in.doubles[i]);
        }
    } else {
        fmt::format_to_n_result<char *> r{};
        switch (f) {
        case Fmt::D: r = fmt::format_to_n(buf, size - 1, "{}", in.ints[i]); break;
        case Fmt::X08: r = fmt::format_to_n(buf, size - 1, "{:08x}", in.words[i]); break;
        case Fmt::S: r = fmt::format_to_n(buf, size - 1, "{}", in.strings[i]); break;
        case Fmt::Mixed:
            r = fmt::format_to_n(buf, size - 1, "{:<10}|{:5}", in.strings[i], in.ints[i]);
            break;
        case Fmt::F3: r = fmt::format_to_n(buf, size - 1, "{:.3f}", in.doubles[i]); break;
        case Fmt::E: r = fmt::format_to_n(buf, size - 1, "{:e}", in.doubles[i]); break;
        case Fmt::G: r = fmt::format_to_n(buf, size - 1, "{:g}", in.doubles[i]); break;
        }
        *r.out = 0;
        return static_cast<uint32_t>(r.size);
    }
    return 0;
}

template <Printer P>
void printf_case(benchmark::State &state, Fmt f) {
    const PrintfInput &in = printf_input();
    char buf[128];
    for (auto _ : state) {
        for (uint32_t i = 0; i < kInputs; ++i) {
            uint32_t n = print_one<P>(f, in, i, buf, sizeof buf);
            benchmark::DoNotOptimize(n);
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * kInputs);
}

/* ---- UTF-8 ------------------------------------------------------------------------------ */

constexpr size_t kTextBytes = 1 << 20;

void put_utf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

/* 1 MiB of text: plain ASCII prose, or words that alternate between Latin letters with
 * accents (two bytes each) and CJK ideographs (three bytes each) between ASCII spaces. */
const std::string &text(bool mixed) {
    static const std::array<std::string, 2> texts = [] {
        std::string ascii, multi;
        vb::Rng rng(12);
        while (ascii.size() < kTextBytes - 1) {
            uint32_t len = 1 + rng.below(10);
            for (uint32_t j = 0; j < len; ++j) ascii += static_cast<char>('a' + rng.below(26));
            ascii += rng.below(12) ? ' ' : '\n';
        }
        ascii.resize(kTextBytes - 1);
        while (multi.size() < kTextBytes - 8) {
            uint32_t kind = rng.below(3), len = 1 + rng.below(8);
            for (uint32_t j = 0; j < len; ++j) {
                if (kind == 0)
                    put_utf8(multi, 'a' + rng.below(26));
                else if (kind == 1)
                    put_utf8(multi, rng.below(2) ? 0xE0 + rng.below(32) : 'a' + rng.below(26));
                else
                    put_utf8(multi, 0x4E00 + rng.below(0x5000));
            }
            multi += ' ';
        }
        return std::array<std::string, 2>{ascii, multi};
    }();
    return texts[mixed ? 1 : 0];
}

enum class Utf8Op { IsValid, CharLen, StrLen, GlibValidate, GlibStrlen };

void utf8_case(benchmark::State &state, bool mixed, Utf8Op op) {
    const std::string &t = text(mixed);
    const char *s = t.c_str();
    for (auto _ : state) {
        benchmark::DoNotOptimize(s); /* the anchor's strlen may not be hoisted out of the loop */
        uint32_t r;
        switch (op) {
        case Utf8Op::IsValid: r = plx_string_isvalid(s); break;
        case Utf8Op::CharLen: r = plx_string_charlen(s); break;
        case Utf8Op::GlibValidate: r = g_utf8_validate(s, -1, nullptr); break;
        case Utf8Op::GlibStrlen: r = static_cast<uint32_t>(g_utf8_strlen(s, -1)); break;
        default: r = static_cast<uint32_t>(strlen(s)); break;
        }
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.size()));
}

/* ---- accumulator ------------------------------------------------------------------------ */

constexpr uint32_t kAppends = 1000000;

struct AppendInput {
    std::vector<char> source;
    std::vector<uint32_t> offsets, lengths;
};
const AppendInput &append_input() {
    static const AppendInput in = [] {
        AppendInput a;
        vb::Rng rng(13);
        a.source.resize(4096);
        for (char &c : a.source) c = static_cast<char>('a' + rng.below(26));
        for (uint32_t i = 0; i < kAppends; ++i) {
            a.lengths.push_back(1 + rng.below(16));
            a.offsets.push_back(rng.below(4096 - 16));
        }
        return a;
    }();
    return in;
}

void accum_ours(benchmark::State &state) {
    const AppendInput &in = append_input();
    for (auto _ : state) {
        plx_string_accum_t *a = nullptr;
        if (!vb::ok(state, plx_string_accum_create(&a, nullptr, 0), "create")) break;
        for (uint32_t i = 0; i < kAppends; ++i)
            plx_string_accum_append_bytes(a, in.source.data() + in.offsets[i], in.lengths[i], nullptr);
        state.PauseTiming();
        plx_string_accum_delete(a);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kAppends);
}

void accum_std(benchmark::State &state) {
    const AppendInput &in = append_input();
    for (auto _ : state) {
        auto *s = new std::string;
        for (uint32_t i = 0; i < kAppends; ++i) s->append(in.source.data() + in.offsets[i], in.lengths[i]);
        benchmark::DoNotOptimize(s->data());
        state.PauseTiming();
        delete s;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kAppends);
}

void accum_glib(benchmark::State &state) {
    const AppendInput &in = append_input();
    for (auto _ : state) {
        GString *s = g_string_new(nullptr);
        for (uint32_t i = 0; i < kAppends; ++i) g_string_append_len(s, in.source.data() + in.offsets[i], in.lengths[i]);
        benchmark::DoNotOptimize(s->str);
        state.PauseTiming();
        g_string_free(s, TRUE);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kAppends);
}

void register_all() {
    using benchmark::RegisterBenchmark;
    const auto us = benchmark::kMicrosecond;
    struct {
        const char *name;
        Fmt f;
    } const formats[] = {{"d", Fmt::D},         {"08x", Fmt::X08}, {"s", Fmt::S},
                         {"mixed", Fmt::Mixed}, {"f3", Fmt::F3},   {"e", Fmt::E},
                         {"g", Fmt::G}};
    for (const auto &f : formats) {
        std::string base = std::string("printf.") + f.name + "/";
        RegisterBenchmark((base + "ours").c_str(), printf_case<Printer::Ours>, f.f)->Unit(us);
        RegisterBenchmark((base + "glibc").c_str(), printf_case<Printer::Glibc>, f.f)->Unit(us);
        RegisterBenchmark((base + "fmt").c_str(), printf_case<Printer::Fmt>, f.f)->Unit(us);
    }
    for (bool mixed : {false, true}) {
        std::string kind = mixed ? "mixed" : "ascii";
        RegisterBenchmark(("utf8.isvalid_" + kind + "/ours").c_str(), utf8_case, mixed, Utf8Op::IsValid)->Unit(us);
        RegisterBenchmark(("utf8.isvalid_" + kind + "/strlen").c_str(), utf8_case, mixed, Utf8Op::StrLen)->Unit(us);
        RegisterBenchmark(("utf8.charlen_" + kind + "/ours").c_str(), utf8_case, mixed, Utf8Op::CharLen)->Unit(us);
        RegisterBenchmark(("utf8.charlen_" + kind + "/strlen").c_str(), utf8_case, mixed, Utf8Op::StrLen)->Unit(us);
        RegisterBenchmark(("utf8.isvalid_" + kind + "/glib").c_str(), utf8_case, mixed, Utf8Op::GlibValidate)->Unit(us);
        RegisterBenchmark(("utf8.charlen_" + kind + "/glib").c_str(), utf8_case, mixed, Utf8Op::GlibStrlen)->Unit(us);
    }
    RegisterBenchmark("accum.append_1M/ours", accum_ours)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("accum.append_1M/std", accum_std)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("accum.append_1M/glib", accum_glib)->Unit(benchmark::kMillisecond);
}

const int registered = (register_all(), 0);

}  // namespace
