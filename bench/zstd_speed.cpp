// Speed of the Zstandard decoder on one core.
//
//   zstd_speed [--level N] [--window-log N] [--runs N] [--save FRAME] FILE...
//       (host build, with the reference library) packs the files together into one frame at
//       that level (19) and window (8 MiB), then decodes it: whole into a buffer, streamed in
//       256 KiB pieces (the engine's copy buffer), and with the reference library for scale.
//   zstd_speed --frame FRAME --content FILE [--runs N]
//       (any build, also the Windows one) decodes a frame saved by the above and checks it.
//
// Prints MB/s of decoded content per second of the thread's processor time (of wall time in the
// Windows build), the best of the runs.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include "archive/zstd.h"

#ifdef WITH_LIBZSTD
#include <zstd.h>
#endif

namespace
{

using Bytes = std::vector<uint8_t>;
const size_t kMaxWindow = 8 << 20;
const size_t kPiece = 256 << 10;

bool ReadFile(const char *path, Bytes *to)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        to->insert(to->end(), buffer, buffer + n);
    fclose(f);
    return true;
}

// CPU time of this thread: the machine may be busy with other work. Under Wine a thread's
// times move in steps of 10 ms, a sixth of a run: the Windows build takes the performance
// counter instead, whose best of the runs is the time of a run that nothing interrupted.
double Seconds()
{
#ifdef _WIN32
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)now.QuadPart / (double)frequency.QuadPart;
#else
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
#endif
}

// Decodes the frame whole (streamed == false) or in pieces into `out`; false on any failure.
bool DecodeOurs(const Bytes &frame, Bytes *out, Bytes *work, bool streamed)
{
    if (!streamed) {
        size_t made;
        return ZstdDecodeBuffer(frame.data(), frame.size(), out->data(), out->size(), &made,
                                work->data(), work->size(), kMaxWindow) == 0 &&
               made == out->size();
    }
    static uint8_t piece[kPiece];
    ZstdDecoder d;
    ZstdBegin(&d, work->data(), work->size(), kMaxWindow);
    size_t at = 0, made = 0;
    for (;;) {
        size_t in = frame.size() - at < kPiece ? frame.size() - at : kPiece;
        size_t used, got;
        int status = ZstdDecode(&d, frame.data() + at, in, &used, piece, kPiece, &got);
        if (status < 0 || made + got > out->size())
            return false;
        memcpy(out->data() + made, piece, got); // what the engine's write would take
        at += used;
        made += got;
        if (status == kZstdFrameDone)
            return made == out->size();
        if (used == 0 && got == 0)
            return false;
    }
}

void Report(const char *what, double seconds, size_t bytes)
{
    printf("%-34s %8.1f MB/s\n", what, bytes / seconds / 1e6);
}

int Time(const char *what, const Bytes &frame, const Bytes &content, int runs, bool streamed)
{
    Bytes work(ZstdWorkspaceSize(kMaxWindow));
    Bytes out(content.size());
    double best = 1e30;
    for (int i = 0; i < runs; i++) {
        double start = Seconds();
        bool ok = DecodeOurs(frame, &out, &work, streamed);
        double t = Seconds() - start;
        if (!ok || out != content) {
            printf("%s: wrong result\n", what);
            return 1;
        }
        best = t < best ? t : best;
    }
    Report(what, best, content.size());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    int level = 19, windowLog = 23, runs = 5;
    const char *save = nullptr, *framePath = nullptr, *contentPath = nullptr;
    Bytes content, frame;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        bool more = i + 1 < argc;
        if (more && !strcmp(a, "--level"))
            level = atoi(argv[++i]);
        else if (more && !strcmp(a, "--window-log"))
            windowLog = atoi(argv[++i]);
        else if (more && !strcmp(a, "--runs"))
            runs = atoi(argv[++i]);
        else if (more && !strcmp(a, "--save"))
            save = argv[++i];
        else if (more && !strcmp(a, "--frame"))
            framePath = argv[++i];
        else if (more && !strcmp(a, "--content"))
            contentPath = argv[++i];
        else if (!ReadFile(a, &content)) {
            fprintf(stderr, "zstd_speed: cannot read %s\n", a);
            return 2;
        }
    }
    if (framePath) {
        if (!contentPath || !ReadFile(framePath, &frame) || !ReadFile(contentPath, &content)) {
            fprintf(stderr, "zstd_speed: --frame needs a readable frame and --content\n");
            return 2;
        }
    } else {
#ifdef WITH_LIBZSTD
        ZSTD_CCtx *c = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
        ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog);
        ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0); // as the archive packs them
        frame.resize(ZSTD_compressBound(content.size()));
        size_t n = ZSTD_compress2(c, frame.data(), frame.size(), content.data(), content.size());
        ZSTD_freeCCtx(c);
        if (ZSTD_isError(n))
            return 1;
        frame.resize(n);
        if (save) {
            FILE *f = fopen(save, "wb");
            if (!f || fwrite(frame.data(), 1, n, f) != n || fclose(f) != 0)
                return 1;
        }
#else
        (void)save;
        fprintf(stderr, "zstd_speed: this build takes --frame and --content\n");
        return 2;
#endif
    }
    printf("%zu bytes in a frame of %zu (level %d, window 2^%d)\n", content.size(), frame.size(),
           level, windowLog);
    if (Time("ours, whole into a buffer", frame, content, runs, false) ||
        Time("ours, streamed in 256 KiB pieces", frame, content, runs, true))
        return 1;
#ifdef WITH_LIBZSTD
    Bytes out(content.size());
    ZSTD_DCtx *d = ZSTD_createDCtx();
    double best = 1e30;
    for (int i = 0; i < runs; i++) {
        double start = Seconds();
        size_t n = ZSTD_decompressDCtx(d, out.data(), out.size(), frame.data(), frame.size());
        double t = Seconds() - start;
        if (n != content.size() || out != content)
            return 1;
        best = t < best ? t : best;
    }
    ZSTD_freeDCtx(d);
    Report("reference library, whole", best, content.size());
#endif
    return 0;
}
