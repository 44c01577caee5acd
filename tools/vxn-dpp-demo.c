/* vxn-dpp-demo: one chain, every kind of acquisition, the results as CSV.
 *
 *   vxn-dpp-demo [ADDRESS [OUTPUT_FOLDER]]     (defaults: 127.0.0.2, vxn-demo-out)
 *
 * Connects the chain whose master answers at ADDRESS, configures every board,
 * runs a 2-second single-spectrum acquisition, then a short map, a list and a
 * waveform acquisition, writes what it got to CSV files and prints a summary.
 * Written in C, as a plain C program uses the library. */
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "VXN_DPP.h"

/* --- Answers of asynchronous commands ------------------------------------- */

static pthread_mutex_t answer_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t answer_came = PTHREAD_COND_INITIALIZER;
static unsigned int answered_id = 0;
static unsigned short answered_type = 0;

/* Called on the library's command thread: only record the answer. */
static void on_answer(unsigned short type, unsigned int call_id, unsigned int length,
                      unsigned int* data) {
    (void)length;
    (void)data;
    pthread_mutex_lock(&answer_lock);
    answered_id = call_id;
    answered_type = type;
    pthread_cond_broadcast(&answer_came);
    pthread_mutex_unlock(&answer_lock);
}

static unsigned short error_code_now(void) {
    unsigned short code = 0;
    getLastError(&code);
    return code;
}

static int fail(const char* what) {
    fprintf(stderr, "vxn-dpp-demo: %s failed, error %u\n", what, (unsigned)error_code_now());
    return 0;
}

/* Waits up to 30 s for the answer of `call_id`; true for a successful one. */
static int wait_answer(unsigned int call_id, const char* what) {
    struct timespec deadline;
    int ok;
    if (call_id == 0)
        return fail(what);
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 30;
    pthread_mutex_lock(&answer_lock);
    while (answered_id < call_id)
        if (pthread_cond_timedwait(&answer_came, &answer_lock, &deadline) == ETIMEDOUT)
            break;
    ok = answered_id >= call_id && answered_type != VXN_ANSWER_ERR;
    pthread_mutex_unlock(&answer_lock);
    return ok ? 1 : fail(what);
}

static void pause_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

/* Waits until every board has sent its last data (at most `seconds`). */
static int wait_last_data(const char* chain, unsigned short boards, int seconds) {
    unsigned short b;
    int step;
    for (step = 0; step < seconds * 100; ++step) {
        int all = 1;
        for (b = 0; b < boards; ++b) {
            bool received = false;
            if (!isLastDataReceived(chain, b, &received) || !received)
                all = 0;
        }
        if (all)
            return 1;
        pause_ms(10);
    }
    return fail("waiting for the end of the acquisition");
}

static FILE* open_output(const char* folder, const char* name) {
    char path[4096];
    FILE* f;
    snprintf(path, sizeof path, "%s/%s", folder, name);
    f = fopen(path, "w");
    if (f == NULL)
        fprintf(stderr, "vxn-dpp-demo: cannot write %s: %s\n", path, strerror(errno));
    return f;
}

/* --- The acquisitions -------------------------------------------------------- */

static int single_spectrum(const char* chain, unsigned short boards, const char* folder) {
    enum { depth = 4096 };
    static unsigned long bins[8][depth];
    statistics stats[8];
    unsigned short b;
    unsigned int bin;
    FILE* csv;

    printf("\nSingle spectrum, 2 s, %d bins\n", depth);
    if (!wait_answer(start(chain, 2.0, depth), "start"))
        return 0;
    if (!wait_last_data(chain, boards, 20))
        return 0;
    for (b = 0; b < boards && b < 8; ++b) {
        unsigned int id = 0, size = depth;
        unsigned long total = 0, strongest = 0;
        unsigned int peak = 0;
        if (!getData(chain, b, bins[b], &id, &stats[b], &size))
            return fail("getData");
        for (bin = 0; bin < depth; ++bin) {
            total += bins[b][bin];
            /* The noise peak at the bottom of the scale is no line. */
            if (bin >= 64 && bins[b][bin] > strongest) {
                strongest = bins[b][bin];
                peak = bin;
            }
        }
        printf(
            "  board %u: %lu counts in %.3f s, ICR %.1f kcps, OCR %.1f kcps, dead time %.1f %%, "
            "strongest peak at bin %u\n",
            (unsigned)b, total, stats[b].real_time / 1e6, stats[b].ICR, stats[b].OCR,
            stats[b].ICR > 0 ? 100.0 * (1.0 - stats[b].OCR / stats[b].ICR) : 0.0, peak);
    }
    csv = open_output(folder, "spectrum.csv");
    if (csv == NULL)
        return 0;
    fprintf(csv, "bin");
    for (b = 0; b < boards && b < 8; ++b) fprintf(csv, ",board%u", (unsigned)b);
    fprintf(csv, "\n");
    for (bin = 0; bin < depth; ++bin) {
        fprintf(csv, "%u", bin);
        for (b = 0; b < boards && b < 8; ++b) fprintf(csv, ",%lu", bins[b][bin]);
        fprintf(csv, "\n");
    }
    fclose(csv);
    return 1;
}

static int map(const char* chain, unsigned short boards, const char* folder) {
    enum { depth = 1024, points = 10 };
    static unsigned short data[points * depth];
    unsigned int ids[points];
    double rates[4 * points];
    unsigned long counters[22 * points];
    unsigned short b;
    FILE* csv;

    printf("\nMap, %d points of 100 ms, %d bins\n", points, depth);
    if (!wait_answer(start_map(chain, 100, points, depth), "start_map"))
        return 0;
    if (!wait_last_data(chain, boards, 20))
        return 0;
    csv = open_output(folder, "map.csv");
    if (csv == NULL)
        return 0;
    fprintf(csv, "board,point,period_us,icr_kcps,ocr_kcps,counts...\n");
    for (b = 0; b < boards; ++b) {
        unsigned int count = 0, size = depth, k, bin;
        if (!getAvailableData(chain, b, &count))
            return fail("getAvailableData");
        if (count > points)
            count = points;
        if (count > 0 && !getAllData(chain, b, data, ids, rates, counters, &size, &count))
            return fail("getAllData");
        printf("  board %u: %u map spectra\n", (unsigned)b, count);
        for (k = 0; k < count; ++k) {
            fprintf(csv, "%u,%u,%.0f,%.2f,%.2f", (unsigned)b, ids[k], rates[4 * k],
                    rates[4 * k + 2], rates[4 * k + 3]);
            for (bin = 0; bin < depth; ++bin) fprintf(csv, ",%u", (unsigned)data[k * depth + bin]);
            fprintf(csv, "\n");
        }
    }
    fclose(csv);
    return 1;
}

static int list(const char* chain, unsigned short boards, const char* folder) {
    enum { chunk = 65536 };
    static unsigned long events[chunk];
    unsigned short b;
    FILE* csv;

    printf("\nList, 0.5 s\n");
    if (!wait_answer(start_list(chain, 0.5), "start_list"))
        return 0;
    csv = open_output(folder, "list.csv");
    if (csv == NULL)
        return 0;
    fprintf(csv, "board,timestamp_10ns,energy\n");
    for (b = 0; b < boards; ++b) {
        unsigned long total = 0;
        int step;
        for (step = 0; step < 3000; ++step) {
            unsigned int available = 0, id = 0, k;
            bool last = false;
            statistics stats;
            isLastDataReceived(chain, b, &last);
            if (!getAvailableData(chain, b, &available))
                return fail("getAvailableData");
            if (available == 0) {
                if (last)
                    break;
                pause_ms(10);
                continue;
            }
            if (available > chunk)
                available = chunk;
            if (!getData(chain, b, events, &id, &stats, &available))
                return fail("getData");
            for (k = 0; k < available; ++k)
                fprintf(csv, "%u,%lu,%lu\n", (unsigned)b, (events[k] >> 16) & ((1ul << 46) - 1),
                        events[k] & 0xFFFF);
            total += available;
        }
        printf("  board %u: %lu events\n", (unsigned)b, total);
    }
    fclose(csv);
    return 1;
}

static int waveform(const char* chain, const char* folder) {
    enum { samples = 16384 };
    static unsigned short wave[samples];
    unsigned int size = samples, available = 0, k;
    int step;
    FILE* csv;

    printf("\nWaveform, %d samples of board 0\n", samples);
    if (!wait_answer(start_waveform(chain, 3, 1, 0, 0, 0.5, 1), "start_waveform"))
        return 0;
    for (step = 0; step < 2000 && available < samples; ++step) {
        if (!getAvailableData(chain, 0, &available))
            return fail("getAvailableData");
        if (available < samples)
            pause_ms(10);
    }
    if (!getWaveData(chain, 0, wave, &size))
        return fail("getWaveData");
    csv = open_output(folder, "waveform.csv");
    if (csv == NULL)
        return 0;
    fprintf(csv, "sample,value\n");
    for (k = 0; k + 1 < samples; ++k) fprintf(csv, "%u,%u\n", k, (unsigned)wave[k]);
    fclose(csv);
    printf("  %u samples\n", samples - 1);
    return 1;
}

int main(int argc, char** argv) {
    const char* chain = argc > 1 ? argv[1] : "127.0.0.2";
    const char* folder = argc > 2 ? argv[2] : "vxn-demo-out";
    char version[16];
    unsigned int size = sizeof version;
    unsigned short boards = 0;
    configuration cfg;
    int step, ok;

    if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        printf("usage: vxn-dpp-demo [ADDRESS [OUTPUT_FOLDER]]\n");
        return 0;
    }
    if (mkdir(folder, 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "vxn-dpp-demo: cannot create %s: %s\n", folder, strerror(errno));
        return 1;
    }
    register_callback(on_answer);
    if (!InitLibrary())
        return fail("InitLibrary"), 1;
    libVersion(version, &size);
    printf("libVXN_DPP %s; connecting %s\n", version, chain);
    add_to_query(chain);
    for (step = 0; step < 300 && (!get_boards_in_chain(chain, &boards) || boards == 0); ++step)
        pause_ms(100);
    if (boards == 0) {
        fail("connecting the chain");
        CloseLibrary();
        return 1;
    }
    printf("chain %s: %u board(s)\n", chain, (unsigned)boards);

    memset(&cfg, 0, sizeof cfg);
    cfg.fast_filter_thr = 100;
    cfg.energy_filter_thr = 50;
    cfg.max_risetime = 40;
    cfg.gain = 1;
    cfg.peaking_time = 64;
    cfg.flat_top = 8;
    cfg.edge_peaking_time = 8;
    cfg.edge_flat_top = 2;
    cfg.reset_recovery_time = 200;
    cfg.baseline_samples = 64;
    cfg.time_constant = 50e-6;
    ok = wait_answer(configure(chain, 255, cfg), "configure") &&
         single_spectrum(chain, boards, folder) && map(chain, boards, folder) &&
         list(chain, boards, folder) && waveform(chain, folder);
    CloseLibrary();
    if (ok)
        printf("\nresults in %s/: spectrum.csv map.csv list.csv waveform.csv\n", folder);
    return ok ? 0 : 1;
}
