/* Analysis and scan speed.
 *
 *   veltra_bench_analysis [--files DIR] [--work DIR]
 *
 * 1. Analysis speed in multiples of real time per core: CPU time of the analysing thread for
 *    each file (generated music-like clips in MP3, Ogg Vorbis, FLAC; with --files, every audio
 *    file under DIR as well), next to the peers installed on this machine that measure one
 *    feature of the same files (loudgain: EBU R128 loudness; bpm from bpm-tools: tempo).
 * 2. --jobs scaling: the same files analysed by 1 and by 2 workers (wall time).
 * 3. Rescan of 1,000 unchanged files through the scan command.
 * 4. Memory per worker: peak resident size of a child process analysing with 1 and 2 workers
 *    against one that only starts up.
 * Figures depend on the machine's load; the load average is printed with them. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "scan.h"
#include "veltra_analysis.h"

namespace {

double wall() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double thread_cpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int sh(const std::string &cmd) { return system(cmd.c_str()); }

/* CPU seconds of the children run by `cmd` (user + system). */
double child_cpu(const std::string &cmd) {
    rusage before, after;
    getrusage(RUSAGE_CHILDREN, &before);
    int rc = sh(cmd);
    getrusage(RUSAGE_CHILDREN, &after);
    if (rc != 0) return NAN;  /* the peer could not read the file: no figure */
    auto s = [](const timeval &t) { return t.tv_sec + t.tv_usec * 1e-6; };
    return s(after.ru_utime) - s(before.ru_utime) + s(after.ru_stime) - s(before.ru_stime);
}

bool have(const char *tool) { return sh(std::string("command -v ") + tool + " >/dev/null 2>&1") == 0; }

/* A 60 s clip with a beat, chords, a bass line and noise: material that exercises every
 * feature the way music does. */
void make_clip(const std::string &path, const std::string &codec) {
    sh("ffmpeg -nostdin -loglevel error -y -f lavfi -i \"aevalsrc='0.25*sin(2*PI*220*t)*(1+sin(2*PI*0.25*t))/2"
       "+0.2*sin(2*PI*277.18*t)+0.2*sin(2*PI*329.63*t)+0.4*sin(2*PI*1200*t)*exp(-mod(t,0.5)*40)"
       "+0.3*sin(2*PI*55*t)*exp(-mod(t+0.25,0.5)*10)':s=44100:c=stereo\" "
       "-f lavfi -i \"anoisesrc=a=0.02:c=pink:r=44100\" -filter_complex amix=inputs=2:duration=first "
       "-t 60 -ac 2 " + codec + " '" + path + "'");
}

std::vector<std::string> audio_under(const std::string &dir) {
    std::vector<std::string> out;
    std::string cmd = "find '" + dir + "' -type f \\( -iname '*.ogg' -o -iname '*.mp3' -o -iname "
                      "'*.flac' -o -iname '*.opus' -o -iname '*.m4a' -o -iname '*.wav' \\) | sort";
    FILE *p = popen(cmd.c_str(), "r");
    char line[4096];
    while (p && fgets(line, sizeof line, p)) {
        line[strcspn(line, "\n")] = 0;
        out.emplace_back(line);
    }
    if (p) pclose(p);
    return out;
}

/* Analyses `files` with `jobs` threads; returns wall seconds, adds audio seconds and CPU. */
double analyse_all(const std::vector<std::string> &files, unsigned jobs, double *audio_s,
                   double *cpu_s) {
    std::atomic<size_t> next{0};
    std::vector<double> audio(jobs, 0), cpu(jobs, 0);
    double t0 = wall();
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < jobs; ++w)
        pool.emplace_back([&, w] {
            for (size_t i; (i = next.fetch_add(1)) < files.size();) {
                analysis::Features f;
                double c0 = thread_cpu();
                if (analysis::analyse_file(files[i].c_str(), {}, nullptr, &f, nullptr) == analysis::Fault::none)
                    audio[w] += f.duration_s;
                cpu[w] += thread_cpu() - c0;
            }
        });
    for (auto &t : pool) t.join();
    double t = wall() - t0;
    for (unsigned w = 0; w < jobs; ++w) *audio_s += audio[w], *cpu_s += cpu[w];
    return t;
}

long max_rss_kib_of_child(const std::vector<std::string> &files, unsigned jobs) {
    pid_t pid = fork();
    if (pid == 0) {
        if (jobs) {
            double a = 0, c = 0;
            analyse_all(files, jobs, &a, &c);
        }
        _exit(0);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char **argv) {
    std::string files_dir, work = "/tmp/veltra-bench-analysis";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--files")) files_dir = argv[i + 1];
        else if (!strcmp(argv[i], "--work")) work = argv[i + 1];
    }
    double load[3] = {};
    getloadavg(load, 3);
    printf("analysis benchmark (load average %.2f %.2f %.2f, %u cores; other work on the machine "
           "shifts every figure)\n\n", load[0], load[1], load[2], std::thread::hardware_concurrency());
    sh("mkdir -p '" + work + "'");
    const char *kinds[][2] = {{"mp3", "-c:a libmp3lame -b:a 192k"}, {"ogg", "-c:a libvorbis -q:a 5"},
                              {"flac", ""}};
    std::vector<std::string> clips;
    for (auto &k : kinds) {
        std::string p = work + "/clip." + k[0];
        struct stat st;
        if (stat(p.c_str(), &st) != 0) make_clip(p, k[1]);
        clips.push_back(p);
    }
    std::vector<std::string> real = files_dir.empty() ? std::vector<std::string>() : audio_under(files_dir);

    /* 1. Speed per core, with the peers on the same files. */
    bool loudgain = have("loudgain"), bpm = have("bpm") && have("sox");
    printf("%-44s %9s %9s %12s %12s\n", "files", "audio s", "cpu s", "x real time", "peers x rt");
    auto row = [&](const char *label, const std::vector<std::string> &files) {
        if (files.empty()) return;
        double audio = 0, cpu = 0;
        analyse_all(files, 1, &audio, &cpu);
        std::string peers;
        if (loudgain || bpm) {
            /* Per file: audio seconds over peer CPU seconds, over the files each peer could read. */
            double lg = 0, lg_audio = 0, bp = 0, bp_audio = 0;
            for (const std::string &f : files) {
                analysis::Features feat;
                if (analysis::analyse_file(f.c_str(), {}, nullptr, &feat, nullptr) != analysis::Fault::none)
                    continue;
                double c = loudgain ? child_cpu("loudgain -q '" + f + "' >/dev/null 2>&1") : NAN;
                if (!isnan(c)) lg += c, lg_audio += feat.duration_s;
                c = bpm ? child_cpu("sox --i '" + f + "' >/dev/null 2>&1 && sox -V1 '" + f +
                                    "' -r 44100 -e float -c 1 -t raw - 2>/dev/null | bpm >/dev/null")
                        : NAN;
                if (!isnan(c)) bp += c, bp_audio += feat.duration_s;
            }
            auto fig = [](double a, double c) { return c > 0 ? std::to_string(lround(a / c)) : std::string("n/a"); };
            peers = (loudgain ? "loudgain " + fig(lg_audio, lg) : "") + (bpm ? "  bpm " + fig(bp_audio, bp) : "");
        }
        printf("%-44s %9.1f %9.2f %12.0f   %s\n", label, audio, cpu, audio / cpu, peers.c_str());
    };
    for (size_t i = 0; i < clips.size(); ++i) row(clips[i].c_str(), {clips[i]});
    if (!real.empty()) {
        std::string label = files_dir + " (" + std::to_string(real.size()) + " files)";
        row(label.c_str(), real);
    }

    /* 2. Scaling with workers. */
    std::vector<std::string> set = real.empty() ? std::vector<std::string>() : real;
    if (set.empty())
        for (int r = 0; r < 4; ++r) set.insert(set.end(), clips.begin(), clips.end());
    double a1 = 0, c1 = 0, a2 = 0, c2 = 0;
    double w1 = analyse_all(set, 1, &a1, &c1), w2 = analyse_all(set, 2, &a2, &c2);
    printf("\njobs 1: %.2f s wall, %.2f s cpu; jobs 2: %.2f s wall, %.2f s cpu for %zu files: "
           "speed-up %.2fx (cpu per audio second %.2fx of one worker's)\n", w1, c1, w2, c2,
           set.size(), w1 / w2, (c2 / a2) / (c1 / a1));

    /* 3. Rescan of 1,000 unchanged files (tagged with a mood, so the first scan decodes none). */
    std::string many = work + "/many";
    struct stat st;
    if (stat((many + "/999.mp3").c_str(), &st) != 0) {
        sh("mkdir -p '" + many + "'");
        sh("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=f=440 -t 4 -metadata mood='Inner Calm' '" +
           many + "/0.mp3'");
        sh("cd '" + many + "' && for i in $(seq 1 999); do cp 0.mp3 $i.mp3; done");
    }
    cli::ScanOptions so;
    so.catalog = work + "/many.vmcat";
    so.dirs = {many};
    so.quiet = true;
    unlink(so.catalog.c_str());
    FILE *saved = stdout;
    stdout = fopen("/dev/null", "w");
    double s0 = wall();
    int rc1 = cli::run_scan(so);
    double first = wall() - s0;
    s0 = wall();
    int rc2 = cli::run_scan(so);
    double again = wall() - s0;
    fclose(stdout);
    stdout = saved;
    printf("\nscan of 1,000 tagged files: first %.2f s, rescan unchanged %.3f s (status %d %d)\n",
           first, again, rc1, rc2);

    /* 4. Memory per worker. */
    std::vector<std::string> mem_set(clips.begin(), clips.end());
    long base = max_rss_kib_of_child(mem_set, 0), one = max_rss_kib_of_child(mem_set, 1),
         two = max_rss_kib_of_child(mem_set, 2);
    printf("\npeak resident: start-up %ld KiB, 1 worker %ld KiB (+%.1f MiB), 2 workers %ld KiB "
           "(+%.1f MiB, %.1f MiB per worker)\n", base, one, (one - base) / 1024.0, two,
           (two - base) / 1024.0, (two - base) / 2048.0);
    return 0;
}
