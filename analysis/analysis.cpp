/* Decoding (FFmpeg), features (libebur128, aubio, a chroma profile of our own) and the model
 * that turns features into arousal and valence. */
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>

extern "C" {
#include <aubio/aubio.h>
#include <ebur128.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include "veltra_analysis.h"

namespace analysis {
namespace {

constexpr uint32_t kHop = 256;        /* tempo and onsets: 11.6 ms hops, 23 ms windows */
constexpr uint32_t kSpecWin = 4096;   /* spectrum and chroma: 186 ms windows, 5.4 Hz bins */
constexpr uint32_t kSpecHop = 2048;

void quiet_ffmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

double clamp01(double v) { return isnan(v) ? 0.5 : std::min(1.0, std::max(0.0, v)); }

/* Key profiles of Krumhansl & Kessler (1982), "Tracing the dynamic changes in perceived tonal
 * organization in a spatial representation of musical keys", Psychological Review 89(4);
 * tabulated in Krumhansl (1990), Cognitive Foundations of Musical Pitch. Index 0 is the tonic.
 * (Temperley's 1999/2001 profiles would serve the same purpose with a weaker bias to the
 * subdominant.) */
constexpr double kMajorProfile[12] = {6.35, 2.23, 3.48, 2.33, 4.38, 4.09,
                                      2.52, 5.19, 2.39, 3.66, 2.29, 2.88};
constexpr double kMinorProfile[12] = {6.33, 2.68, 3.52, 5.38, 2.60, 3.53,
                                      2.54, 4.75, 3.98, 2.69, 3.34, 3.17};

double correlate(const double *chroma, const double *profile, int tonic) {
    double mx = 0, my = 0;
    for (int i = 0; i < 12; ++i) mx += chroma[i], my += profile[i];
    mx /= 12, my /= 12;
    double sxy = 0, sxx = 0, syy = 0;
    for (int i = 0; i < 12; ++i) {
        double x = chroma[(tonic + i) % 12] - mx, y = profile[i] - my;
        sxy += x * y, sxx += x * x, syy += y * y;
    }
    return sxx > 0 && syy > 0 ? sxy / sqrt(sxx * syy) : 0;
}

/* Streaming feature extraction: frames go in as they are decoded, features come out at the
 * end; memory stays bounded whatever the track's length. */
class Extractor {
public:
    explicit Extractor(int channels) : channels_(channels) {}
    ~Extractor() {
        if (r128_) ebur128_destroy(&r128_);
        if (tempo_) del_aubio_tempo(tempo_);
        if (onset_) del_aubio_onset(onset_);
        if (pvoc_) del_aubio_pvoc(pvoc_);
        for (aubio_specdesc_t *d : {centroid_, flux_, rolloff_})
            if (d) del_aubio_specdesc(d);
        for (fvec_t *v : {hop_, spec_in_, out_, desc_})
            if (v) del_fvec(v);
        if (grain_) del_cvec(grain_);
    }
    bool init(const AVChannelLayout *layout) {
        r128_ = ebur128_init(static_cast<unsigned>(channels_), kSampleRate,
                             EBUR128_MODE_I | EBUR128_MODE_LRA);
        if (!r128_) return false;
        if (layout && layout->order == AV_CHANNEL_ORDER_NATIVE) {
            for (int c = 0; c < channels_; ++c) {
                int ch = av_channel_layout_channel_from_index(layout, static_cast<unsigned>(c));
                int role = EBUR128_UNUSED;  /* low-frequency effects and the exotic ones */
                if (ch == AV_CHAN_FRONT_LEFT) role = channels_ == 1 ? EBUR128_LEFT : EBUR128_LEFT;
                else if (ch == AV_CHAN_FRONT_RIGHT) role = EBUR128_RIGHT;
                else if (ch == AV_CHAN_FRONT_CENTER) role = channels_ == 1 ? EBUR128_LEFT : EBUR128_CENTER;
                else if (ch == AV_CHAN_BACK_LEFT || ch == AV_CHAN_SIDE_LEFT) role = EBUR128_LEFT_SURROUND;
                else if (ch == AV_CHAN_BACK_RIGHT || ch == AV_CHAN_SIDE_RIGHT) role = EBUR128_RIGHT_SURROUND;
                ebur128_set_channel(r128_, static_cast<unsigned>(c), role);
            }
        }
        /* aubio plans its FFTs (FFTW) behind a mutex of its own, so workers may do this at once. */
        tempo_ = new_aubio_tempo("default", 2 * kHop, kHop, kSampleRate);
        onset_ = new_aubio_onset("default", 2 * kHop, kHop, kSampleRate);
        pvoc_ = new_aubio_pvoc(kSpecWin, kSpecHop);
        centroid_ = new_aubio_specdesc("centroid", kSpecWin);
        flux_ = new_aubio_specdesc("specflux", kSpecWin);
        rolloff_ = new_aubio_specdesc("rolloff", kSpecWin);
        hop_ = new_fvec(kHop);
        spec_in_ = new_fvec(kSpecHop);
        out_ = new_fvec(2);
        desc_ = new_fvec(1);
        grain_ = new_cvec(kSpecWin);
        if (!tempo_ || !onset_ || !pvoc_ || !centroid_ || !flux_ || !rolloff_ || !hop_ ||
            !spec_in_ || !out_ || !desc_ || !grain_)
            return false;
        /* Pitch class of each bin between 80 Hz and 5 kHz (C = 0), -1 outside. */
        pitch_class_.assign(kSpecWin / 2 + 1, -1);
        for (uint32_t k = 1; k <= kSpecWin / 2; ++k) {
            double f = static_cast<double>(k) * kSampleRate / kSpecWin;
            if (f < 80 || f > 5000) continue;
            int midi = static_cast<int>(lround(69 + 12 * log2(f / 440.0)));
            pitch_class_[k] = midi % 12;
        }
        return true;
    }

    /* Interleaved float frames at kSampleRate. */
    void add(const float *frames, size_t count) {
        ebur128_add_frames_float(r128_, frames, count);
        for (size_t i = 0; i < count; ++i) {
            float s = 0;
            for (int c = 0; c < channels_; ++c) s += frames[i * channels_ + c];
            push(s / static_cast<float>(channels_));
        }
        frames_ += count;
    }
    uint64_t frames() const { return frames_; }

    Fault finish(const Limits &limits, Features *f) {
        *f = no_features();
        f->duration_s = static_cast<double>(frames_) / kSampleRate;
        if (f->duration_s < limits.min_seconds) return Fault::too_short;
        double lufs = -HUGE_VAL, lra = 0;
        ebur128_loudness_global(r128_, &lufs);
        if (!isfinite(lufs) || lufs < -70) return Fault::silent;
        f->loudness_lufs = lufs;
        if (ebur128_loudness_range(r128_, &lra) == EBUR128_SUCCESS) f->loudness_range_lu = lra;
        double bpm = aubio_tempo_get_bpm(tempo_);
        f->tempo_bpm = bpm > 0 ? bpm : 0;
        f->onset_rate = static_cast<double>(onsets_) / f->duration_s;
        if (spec_frames_ > 0) {
            double bin_hz = static_cast<double>(kSampleRate) / kSpecWin;
            f->centroid_hz = centroid_sum_ / spec_frames_ * bin_hz;
            f->rolloff_hz = rolloff_sum_ / spec_frames_ * bin_hz;
            f->flux = flux_sum_ / spec_frames_;
        }
        double best_major = -1, best_minor = -1;
        for (int t = 0; t < 12; ++t) {
            best_major = std::max(best_major, correlate(chroma_, kMajorProfile, t));
            best_minor = std::max(best_minor, correlate(chroma_, kMinorProfile, t));
        }
        double diff = best_major - best_minor;
        /* Undecided when neither profile fits or the two fit alike. */
        if (std::max(best_major, best_minor) < 0.3 || fabs(diff) < 0.02) {
            f->mode = 0;
            f->mode_strength = 0;
        } else {
            f->mode = diff > 0 ? 1 : -1;
            f->mode_strength = std::min(1.0, fabs(diff) / 0.25);
        }
        return Fault::none;
    }

private:
    void push(float s) {
        hop_->data[hop_fill_++] = s;
        spec_in_->data[spec_fill_++] = s;
        if (hop_fill_ == kHop) {
            hop_fill_ = 0;
            aubio_tempo_do(tempo_, hop_, out_);
            aubio_onset_do(onset_, hop_, out_);
            if (out_->data[0] != 0) ++onsets_;
        }
        if (spec_fill_ == kSpecHop) {
            spec_fill_ = 0;
            spectrum();
        }
    }
    void spectrum() {
        aubio_pvoc_do(pvoc_, spec_in_, grain_);
        double energy = 0;
        for (uint32_t k = 0; k <= kSpecWin / 2; ++k) energy += grain_->norm[k];
        aubio_specdesc_do(flux_, grain_, desc_);  /* keeps its previous frame: run on each */
        if (energy < 1e-3) return;                /* silence says nothing about timbre */
        flux_sum_ += desc_->data[0];
        aubio_specdesc_do(centroid_, grain_, desc_);
        centroid_sum_ += desc_->data[0];
        aubio_specdesc_do(rolloff_, grain_, desc_);
        rolloff_sum_ += desc_->data[0];
        ++spec_frames_;
        for (uint32_t k = 1; k <= kSpecWin / 2; ++k)
            if (pitch_class_[k] >= 0) chroma_[pitch_class_[k]] += grain_->norm[k];
    }

    int channels_;
    ebur128_state *r128_ = nullptr;
    aubio_tempo_t *tempo_ = nullptr;
    aubio_onset_t *onset_ = nullptr;
    aubio_pvoc_t *pvoc_ = nullptr;
    aubio_specdesc_t *centroid_ = nullptr, *flux_ = nullptr, *rolloff_ = nullptr;
    fvec_t *hop_ = nullptr, *spec_in_ = nullptr, *out_ = nullptr, *desc_ = nullptr;
    cvec_t *grain_ = nullptr;
    std::vector<int> pitch_class_;
    uint32_t hop_fill_ = 0, spec_fill_ = 0;
    uint64_t frames_ = 0, onsets_ = 0, spec_frames_ = 0;
    double centroid_sum_ = 0, rolloff_sum_ = 0, flux_sum_ = 0;
    double chroma_[12] = {};
};

/* The open input with its audio stream and decoder. */
struct Input {
    AVFormatContext *fmt = nullptr;
    AVCodecContext *dec = nullptr;
    SwrContext *swr = nullptr;
    int stream = -1;
    ~Input() {
        swr_free(&swr);
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
    }
};

Fault open_input(const char *path, const Limits &limits, Input *in, std::string *detail) {
    quiet_ffmpeg();
    struct stat st;
    if (stat(path, &st) != 0) {
        if (detail) *detail = strerror(errno);
        return Fault::unreadable;
    }
    if (st.st_size == 0) return Fault::empty;
    if (static_cast<uint64_t>(st.st_size) > limits.max_bytes) return Fault::too_large;
    int rc = avformat_open_input(&in->fmt, path, nullptr, nullptr);
    if (rc < 0) {
        char text[128];
        av_strerror(rc, text, sizeof text);
        if (detail) *detail = text;
        if (rc == AVERROR(EACCES) || rc == AVERROR(ENOENT)) return Fault::unreadable;
        /* A container FFmpeg recognises but cannot open is damaged, not foreign. */
        AVProbeData pd{};
        std::vector<unsigned char> head(4096 + AVPROBE_PADDING_SIZE, 0);
        if (FILE *f = fopen(path, "rb")) {
            pd.buf_size = static_cast<int>(fread(head.data(), 1, 4096, f));
            fclose(f);
        }
        pd.buf = head.data();
        pd.filename = "";
        int score = 0;
        const AVInputFormat *fmt = av_probe_input_format3(&pd, 1, &score);
        if (fmt && score > AVPROBE_SCORE_EXTENSION) {
            if (detail) *detail = std::string(fmt->name) + " container: " + text;
            return Fault::corrupt;
        }
        return Fault::not_audio;
    }
    if (avformat_find_stream_info(in->fmt, nullptr) < 0) return Fault::not_audio;
    const AVCodec *codec = nullptr;
    in->stream = av_find_best_stream(in->fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (in->stream == AVERROR_DECODER_NOT_FOUND) return Fault::no_decoder;
    if (in->stream < 0) return Fault::not_audio;
    /* Pictures in an audio container are fine; video beside the audio is still an audio file. */
    const AVCodecParameters *par = in->fmt->streams[in->stream]->codecpar;
    if (par->ch_layout.nb_channels <= 0 || par->sample_rate <= 0) return Fault::not_audio;
    if (!codec) return Fault::no_decoder;
    return Fault::none;
}

double container_duration(const Input &in) {
    const AVStream *s = in.fmt->streams[in.stream];
    if (s->duration != AV_NOPTS_VALUE && s->duration > 0) return s->duration * av_q2d(s->time_base);
    if (in.fmt->duration != AV_NOPTS_VALUE && in.fmt->duration > 0)
        return static_cast<double>(in.fmt->duration) / AV_TIME_BASE;
    return NAN;
}

}  // namespace

Features no_features() {
    return {NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN};
}

const char *fault_text(Fault fault) {
    switch (fault) {
    case Fault::none: return "ok";
    case Fault::unreadable: return "cannot be read";
    case Fault::empty: return "empty file";
    case Fault::too_large: return "too large";
    case Fault::not_audio: return "not audio";
    case Fault::no_decoder: return "no decoder for its audio";
    case Fault::corrupt: return "corrupt audio";
    case Fault::too_short: return "too short";
    case Fault::silent: return "silent";
    case Fault::interrupted: return "interrupted";
    }
    return "?";
}

Fault probe(const char *path, const Limits &limits, double *duration_s, std::string *detail) {
    Input in;
    Fault fault = open_input(path, limits, &in, detail);
    if (fault == Fault::none && duration_s) *duration_s = container_duration(in);
    return fault;
}

Fault analyse_file(const char *path, const Limits &limits, const std::atomic<bool> *stop,
                   Features *out, std::string *detail) {
    *out = no_features();
    Input in;
    Fault fault = open_input(path, limits, &in, detail);
    if (fault != Fault::none) return fault;
    const AVStream *stream = in.fmt->streams[in.stream];
    const AVCodec *codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) return Fault::no_decoder;
    in.dec = avcodec_alloc_context3(codec);
    if (!in.dec || avcodec_parameters_to_context(in.dec, stream->codecpar) < 0) return Fault::corrupt;
    in.dec->thread_count = 1;  /* the scan runs one decoder per worker */
    if (avcodec_open2(in.dec, codec, nullptr) < 0) return Fault::no_decoder;
    /* Other streams (cover pictures, video) are not even demuxed into packets we look at. */
    for (unsigned i = 0; i < in.fmt->nb_streams; ++i)
        if (static_cast<int>(i) != in.stream) in.fmt->streams[i]->discard = AVDISCARD_ALL;

    /* Resample to kSampleRate keeping the channels (loudness weighs them), at most 8. */
    AVChannelLayout in_layout, out_layout;
    if (in.dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&in_layout, in.dec->ch_layout.nb_channels);
    else if (av_channel_layout_copy(&in_layout, &in.dec->ch_layout) < 0)
        return Fault::corrupt;
    if (in_layout.nb_channels > 8 || in_layout.order != AV_CHANNEL_ORDER_NATIVE)
        av_channel_layout_default(&out_layout, std::min(in_layout.nb_channels, 2));
    else
        av_channel_layout_copy(&out_layout, &in_layout);
    int rc = swr_alloc_set_opts2(&in.swr, &out_layout, AV_SAMPLE_FMT_FLT, kSampleRate, &in_layout,
                                 in.dec->sample_fmt, in.dec->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in_layout);
    if (rc < 0 || swr_init(in.swr) < 0) {
        av_channel_layout_uninit(&out_layout);
        return Fault::corrupt;
    }
    Extractor ex(out_layout.nb_channels);
    bool ok = ex.init(&out_layout);
    int channels = out_layout.nb_channels;
    av_channel_layout_uninit(&out_layout);
    if (!ok) return Fault::corrupt;

    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    std::vector<float> buf;
    const uint64_t max_frames = static_cast<uint64_t>(limits.max_seconds * kSampleRate);
    uint64_t decoded = 0;
    bool eof = false, full = false;
    uint32_t bad_packets = 0;
    auto drain = [&]() {
        while (avcodec_receive_frame(in.dec, frame) == 0) {
            int cap = swr_get_out_samples(in.swr, frame->nb_samples);
            if (cap <= 0) continue;
            buf.resize(static_cast<size_t>(cap) * channels);
            uint8_t *dst = reinterpret_cast<uint8_t *>(buf.data());
            int n = swr_convert(in.swr, &dst, cap, const_cast<const uint8_t **>(frame->extended_data),
                                frame->nb_samples);
            if (n > 0) ex.add(buf.data(), static_cast<size_t>(n));
            decoded += static_cast<uint64_t>(frame->nb_samples);
            av_frame_unref(frame);
            if (ex.frames() >= max_frames) full = true;
        }
    };
    while (!eof && !full) {
        if (stop && stop->load(std::memory_order_relaxed)) {
            fault = Fault::interrupted;
            break;
        }
        rc = av_read_frame(in.fmt, pkt);
        if (rc < 0) {
            eof = true;
            avcodec_send_packet(in.dec, nullptr);  /* flush */
        } else if (pkt->stream_index != in.stream) {
            av_packet_unref(pkt);
            continue;
        } else {
            if (avcodec_send_packet(in.dec, pkt) < 0) ++bad_packets;  /* skip damaged packets */
            av_packet_unref(pkt);
        }
        drain();
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    if (fault != Fault::none) return fault;
    if (decoded == 0) {
        if (detail && bad_packets) *detail = std::to_string(bad_packets) + " undecodable packets";
        return Fault::corrupt;
    }
    if (!full) {  /* what the resampler still holds */
        buf.resize(4096u * channels);
        uint8_t *dst = reinterpret_cast<uint8_t *>(buf.data());
        int n = swr_convert(in.swr, &dst, 4096, nullptr, 0);
        if (n > 0) ex.add(buf.data(), static_cast<size_t>(n));
    }
    fault = ex.finish(limits, out);
    if (full) {
        double whole = container_duration(in);
        if (isfinite(whole) && whole > out->duration_s) out->duration_s = whole;
    }
    return fault;
}

Fault analyse_samples(const float *samples, size_t count, const Limits &limits, Features *out) {
    Extractor ex(1);
    if (!ex.init(nullptr)) return Fault::corrupt;
    ex.add(samples, count);
    return ex.finish(limits, out);
}

/* Model version 1. Arousal follows what listeners report as energy: loudness first, then the
 * density of events (onsets), the tempo and the brightness of the sound. Valence follows mode
 * (major happier than minor, weighed by how clearly the chroma says so) and, less, tempo.
 * Each feature is first scaled to [0, 1] over the range where music mostly lies:
 *   loudness  -35 .. -8 LUFS     tempo  60 .. 180 BPM (none found: 0)
 *   onsets    0 .. 6 per second  centroid  400 .. 3000 Hz
 *   arousal = 0.40 loudness + 0.20 tempo + 0.25 onsets + 0.15 centroid
 *   valence = 0.5 + 0.35 mode * strength + 0.15 (tempo - 0.5)
 * Unknown features count as the middle of their range. */
Placement model_v1(const Features &f) {
    double loud = clamp01((f.loudness_lufs + 35.0) / 27.0);
    double tempo = f.tempo_bpm > 0 ? clamp01((f.tempo_bpm - 60.0) / 120.0)
                                   : (isnan(f.tempo_bpm) ? 0.5 : 0.0);
    double onsets = clamp01(f.onset_rate / 6.0);
    double bright = clamp01((f.centroid_hz - 400.0) / 2600.0);
    double mode = isnan(f.mode) || isnan(f.mode_strength) ? 0.0 : f.mode * f.mode_strength;
    Placement p;
    p.arousal = clamp01(0.40 * loud + 0.20 * tempo + 0.25 * onsets + 0.15 * bright);
    p.valence = clamp01(0.5 + 0.35 * mode + 0.15 * (tempo - 0.5));
    return p;
}

void grid_cell(const Placement &p, uint32_t *x, uint32_t *y) {
    double a = clamp01(p.arousal), v = clamp01(p.valence);
    *x = 1 + std::min(9u, static_cast<uint32_t>(a * 10.0));
    *y = 1 + std::min(9u, static_cast<uint32_t>((1.0 - v) * 10.0));
}

}  // namespace analysis
