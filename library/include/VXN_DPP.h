/*
 * VXN_DPP.h - C interface of libVXN_DPP.so.1, the driver of chains of digital
 * pulse processor (DPP) boards reached over TCP/IP.
 *
 * Usable from C99 and C++. Link with -lVXN_DPP.
 *
 * How the interface reports failures
 *   Every function returns false (or 0 for a call id or a value) when it fails
 *   and records the reason as the process-wide last error code, which
 *   getLastError() reads. Success never clears the code: it stays until a
 *   later failure overwrites it or resetLastError() clears it. The codes are
 *   the EC_ constants below.
 *
 *   Every function except InitLibrary, getLastError, resetLastError and
 *   register_callback fails with EC_NOT_INITIALIZED before InitLibrary has
 *   succeeded (or after CloseLibrary).
 *
 *   A null pointer where a function must read or write its argument is refused
 *   with EC_OUT_OF_RANGE; it is never dereferenced.
 *
 * Out-parameters
 *   Where a function writes through an argument, C++ callers pass a
 *   reference and C callers a pointer (VXN_OUT below); the two are the same
 *   at the binary level.
 *
 * Threads
 *   All functions may be called from any thread. Except InitLibrary and
 *   register_callback they run one at a time: each holds the library's API
 *   lock for its whole body.
 *
 * Identifiers
 *   A chain of boards is named by the IP address text of its master board as
 *   it was given to add_to_query(), for example "192.168.0.10". Identifiers are
 *   compared as exact strings.
 */
#ifndef VXN_DPP_H
#define VXN_DPP_H

#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(__GNUC__)
#define VXN_API __attribute__((visibility("default")))
#else
#define VXN_API
#endif

/* The library is itself compiled with the pointer form, so that a null
 * argument can be detected and refused. */
#if defined(__cplusplus) && !defined(VXN_DPP_BUILDING_LIBRARY)
#define VXN_OUT(type) type&
#else
#define VXN_OUT(type) type*
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Error codes (read with getLastError)                                     */
/* ------------------------------------------------------------------------ */

typedef enum error_code {
    EC_NONE = 0,                 /* no error */
    EC_DATA_LOCK = 1,            /* a board's data store could not be locked in time */
    EC_FIRST_SCAN_TIMEOUT = 3,   /* InitLibrary: the first scan did not end within 30 s */
    EC_NOT_INITIALIZED = 4,      /* the library is not initialised */
    EC_BUFFER_TOO_SMALL = 5,     /* a text buffer is too small; the size was corrected */
    EC_ALREADY_INITIALIZED = 42, /* InitLibrary while initialised */
    EC_COMMUNICATION = 57,       /* communication with a board failed */
    EC_CHAIN_ARGUMENT = 58,      /* a chain could not be created: argument out of range */
    EC_CHAIN_COMMUNICATION = 59, /* a chain could not be created: communication failure */
    EC_OUT_OF_RANGE = 60,        /* argument, board or index out of range; null pointer */
    EC_RUNTIME = 61,             /* a chain operation failed at run time */
    EC_UNKNOWN_IDENTIFIER = 62,  /* no chain has this identifier */
    EC_CLOSE_FAILED = 67,        /* CloseLibrary could not close the chains */
    EC_BOARD_RUNNING = 68,       /* refused while the board acquires */
    EC_WRONG_MODE = 69,          /* data request that does not fit the acquisition mode */
    EC_FW_UNSUPPORTED = 75,      /* not supported by the firmware or the transport */
    EC_UNMATCHED_ANSWER = 76,    /* an answer nobody waited for, or a broken promise */
    EC_INIT_FAILED = 77,         /* InitLibrary ended by an unexpected failure */
    EC_MISSED_SPECTRUM = 78,     /* a spectrum record was missed (packet count jumped) */
    EC_PAYLOAD_LENGTH = 81,      /* a data payload had a wrong length */
    EC_HW_MEMORY_FULL = 82,      /* a board's memory went full during the acquisition */
    EC_SLAVES_REMOVED = 83,      /* a slave stopped answering; the chain is rediscovered */
    EC_QUEUE_FULL = 84           /* the list-wave store is full; data is discarded */
} error_code;

/* ------------------------------------------------------------------------ */
/* Records and enumerations                                                 */
/* ------------------------------------------------------------------------ */

/* Pulse-processing settings of a board, passed to configure(). Times are in
 * 8 ns samples unless stated. */
typedef struct configuration {
    uint32_t fast_filter_thr;     /* fast (edge) filter threshold */
    uint32_t energy_filter_thr;   /* energy filter threshold */
    uint32_t energy_filter_thr2;  /* second energy threshold */
    double max_risetime;          /* longest accepted rise time; 0 = no limit */
    double gain;                  /* divides the thresholds, scales the energy */
    uint32_t peaking_time;        /* energy filter peaking time */
    uint32_t max_peaking_time;    /* 0, or the peaking time for baseline and gain */
    uint32_t flat_top;            /* energy filter flat top */
    uint32_t edge_peaking_time;   /* fast filter peaking time */
    uint32_t edge_flat_top;       /* fast filter flat top */
    uint32_t reset_recovery_time; /* recovery time after a preamplifier reset */
    double zero_peak_freq;        /* 0, or the zero-peak frequency */
    uint32_t baseline_samples;    /* 0 = no baseline filter; else 8, 16, ..., 512 */
    bool inverted_input;          /* input polarity */
    double time_constant;         /* preamplifier decay time constant in seconds */
    uint32_t base_offset;         /* baseline offset */
    uint32_t overflow_recovery;   /* overflow recovery time */
    uint32_t reset_threshold;     /* reset detection threshold */
    double tail_coefficient;      /* tail correction coefficient */
    uint32_t other_param;         /* 4-bit auxiliary setting */
} configuration;

/* Input offsets, passed to configure_offset(). */
typedef struct configuration_offset {
    uint32_t offset_val1;
    uint32_t offset_val2;
} configuration_offset;

/* Statistics of a spectrum, a map point or a list, written by the data
 * functions. Times are counts of microseconds; ICR and OCR are counts per
 * millisecond. */
typedef struct statistics {
    uint64_t real_time;      /* elapsed time of the data */
    uint64_t live_time;      /* real_time less the fast filter dead time */
    double ICR;              /* input count rate: measured / live_time x 1000 */
    double OCR;              /* output count rate: measured / real_time x 1000 */
    uint64_t last_timestamp; /* the board's time counter */
    uint32_t detected;
    uint32_t measured;
    uint32_t edge_dt;
    uint32_t filt1_dt;
    uint32_t zerocounts;
    uint32_t baselines_value;
    uint32_t pup_value;
    uint32_t pup_f1_value;
    uint32_t pup_notf1_value;
    uint32_t reset_counter_value;
} statistics;

/* Gating of map acquisitions by the auxiliary input. */
typedef enum GatingMode {
    FreeRunning = 0,
    TriggerRising = 1,
    TriggerFalling = 2,
    TriggerBoth = 3,
    GatedHigh = 4,
    GatedLow = 5
} GatingMode;

/* Input coupling. */
typedef enum InputMode { DC_RinHighImp = 0, DC_RinLowImp = 1, AC_Slow = 2, AC_Fast = 3 } InputMode;

/* Answer types passed to the callback. */
#define VXN_ANSWER_ERR 0   /* the command failed: one word, 0; see getLastError */
#define VXN_ANSWER_READ 1  /* the words are values read from the board */
#define VXN_ANSWER_WRITE 2 /* the words are the board's acknowledgement (normally 1) */

/* Receives the answer of an asynchronous command: its type (VXN_ANSWER_*),
 * the call id the command returned, and `length` words at `data` (valid only
 * during the call; null when length is 0). */
typedef void (*vxn_dpp_callback)(unsigned short type, unsigned int call_id, unsigned int length,
                                 unsigned int* data);

/* ------------------------------------------------------------------------ */
/* Lifecycle and information                                                */
/* ------------------------------------------------------------------------ */

/* Starts the library: the background thread that connects the chains of the
 * address query, and the thread that receives their data. Returns after the
 * first pass over the query (at most 30 s).
 * Errors: EC_ALREADY_INITIALIZED; EC_FIRST_SCAN_TIMEOUT (the threads are
 * stopped, but the library counts as initialised until CloseLibrary). */
VXN_API bool InitLibrary(void);

/* Stops the background threads, closes every chain's connections and forgets
 * the chains. The address query, the last error, the callback and the call id
 * counter survive. Does not wait for a running command.
 * Errors: EC_NOT_INITIALIZED; EC_CLOSE_FAILED. */
VXN_API bool CloseLibrary(void);

/* Writes the last error code to `code`. Works in every state and does not
 * clear the code. Returns true (false with EC_OUT_OF_RANGE for a null `code`). */
VXN_API bool getLastError(VXN_OUT(unsigned short) code);

/* Sets the last error code to EC_NONE. Works in every state; returns true. */
VXN_API bool resetLastError(void);

/* Copies the library version text ("3.7.6.0") with its terminating zero into
 * `buffer` and sets `size` to the bytes needed (8). A `size` below 8 fails
 * with EC_BUFFER_TOO_SMALL, writing 8 into `size` and nothing into `buffer`. */
VXN_API bool libVersion(char* buffer, VXN_OUT(unsigned int) size);

/* Writes the number of connected chains to `count`. */
VXN_API bool get_dev_number(VXN_OUT(unsigned short) count);

/* Copies the identifier of connected chain number `index` (0 .. count - 1, in
 * the byte-wise string order of the identifiers) into `buffer` of `size`
 * bytes, zero-filling the rest of the buffer.
 * Errors: EC_BUFFER_TOO_SMALL when `size` is below 16 or below the identifier's
 * length plus 1 (`size` is set to the size needed); EC_OUT_OF_RANGE when
 * `index` is not below the number of chains (`index` is set to that number). */
VXN_API bool get_ids(char* buffer, VXN_OUT(unsigned short) index, VXN_OUT(unsigned short) size);

/* Writes the number of boards of the chain, master included, to `boards`.
 * Errors: EC_UNKNOWN_IDENTIFIER; EC_FW_UNSUPPORTED. `boards` is left unchanged
 * on failure. */
VXN_API bool get_boards_in_chain(const char* identifier, VXN_OUT(unsigned short) boards);

/* Switches the periodic rescan of the chains (which finds slave boards that
 * appeared or vanished) on or off. The acquisition starts switch it off for
 * their duration; stop() switches it on again while it is enabled here. */
VXN_API bool autoScanSlaves(bool enable);

/* ------------------------------------------------------------------------ */
/* Address query                                                            */
/* ------------------------------------------------------------------------ */

/* Adds the master address `address` (dotted IPv4, or IPv6 optionally followed
 * by "%" and a scope) to the query. The background thread connects it within
 * about a second, or retries every cycle while it cannot be reached. Adding an
 * address twice keeps one entry. Returns true. */
VXN_API bool add_to_query(const char* address);

/* Removes `address` from the query; its chain is closed and dropped by the
 * background thread's next cycle. Returns true, also for an absent address. */
VXN_API bool remove_from_query(const char* address);

/* Opens and closes the four connections of the board at `address` once, so
 * that it drops connections left open by a program that ended without
 * CloseLibrary. Does not touch a chain of that address. Returns true;
 * EC_OUT_OF_RANGE for a text that is not an IP address. */
VXN_API bool flush_local_eth_conn(const char* address);

/* ------------------------------------------------------------------------ */
/* Asynchronous commands                                                    */
/* ------------------------------------------------------------------------ */
/*
 * The commands below return at once with a call id (never 0) and do their
 * work on a thread of their own. When it is done, the registered callback
 * receives the answer with that call id: VXN_ANSWER_READ or VXN_ANSWER_WRITE
 * and the words, or VXN_ANSWER_ERR with one word 0 after a failure, whose
 * code getLastError() then reads (EC_COMMUNICATION: a board did not answer or
 * refused; EC_FW_UNSUPPORTED: the chain has no accepted master;
 * EC_BOARD_RUNNING: refused while the chain acquires; EC_OUT_OF_RANGE: a
 * board index or value out of range).
 *
 * Commands run one at a time, in the order they were issued. A command
 * function returns only once the previous command's work has ended, so it can
 * block for as long as that work takes (a firmware update: minutes).
 *
 * A command that cannot be issued returns 0 and sets the last error:
 * EC_NOT_INITIALIZED, EC_UNKNOWN_IDENTIFIER, EC_OUT_OF_RANGE, EC_RUNTIME (no
 * thread could be started).
 *
 * Board index 255 means every board of the chain where a command says so.
 */

/* Registers the function that receives the answers (null: none). It is
 * called on the command's own thread, one answer at a time, in call-id order.
 * It must only record the answer: calling a library function from it while
 * another thread issues a command deadlocks both (that thread holds the API
 * lock and waits for the task that runs the callback). Returns true. */
VXN_API bool register_callback(vxn_dpp_callback callback);

/* Answer READ: the board's firmware release {major, minor, patch, type}. */
VXN_API unsigned int getFirmware(const char* identifier, unsigned short board);

/* Answer READ: {1} while the board acquires, {0} otherwise. */
VXN_API unsigned int isRunning_system(const char* identifier, unsigned short board);

/* Excludes a board from acquisitions (or includes it again). Answer WRITE. */
VXN_API unsigned int disableBoard(const char* identifier, unsigned short board, bool disable);

/* Writes the pulse-processing settings of `cfg` to one board, or to every
 * board (255). Refused while the master acquires. Answer WRITE {1}. A record
 * with a gain of 0, a negative rise-time limit, or a rise-time limit without
 * fast-filter times is refused with EC_OUT_OF_RANGE before anything is
 * written. */
VXN_API unsigned int configure(const char* identifier, unsigned short board, configuration cfg);

/* Sets how the auxiliary input gates map acquisitions (board or 255).
 * Refused while the master acquires. Answer WRITE {1}. */
VXN_API unsigned int configure_gating(const char* identifier, GatingMode mode,
                                      unsigned short board);

/* Sets the input coupling (board or 255). Refused while the master acquires.
 * Answer WRITE {1}. */
VXN_API unsigned int configure_input(const char* identifier, unsigned short board, InputMode mode);

/* Switches the board's waveform emulator on or off. Answer WRITE {1}. */
VXN_API unsigned int configure_emulator(const char* identifier, unsigned short board, bool on);

/* Sets the board's input offsets. Refused while the master acquires. Answer
 * WRITE {1}. */
VXN_API unsigned int configure_offset(const char* identifier, unsigned short board,
                                      configuration_offset offset);

/* Sets the board's time-stamp delay and its second value. Answer WRITE {1}. */
VXN_API unsigned int configure_timestamp_delay(const char* identifier, unsigned short board,
                                               unsigned short delay, unsigned short second);

/* Writes one raw DPP parameter (board or 255). Answer WRITE {1}. */
VXN_API unsigned int advanced_configure(const char* identifier, unsigned short board,
                                        unsigned short address, unsigned int data);

/* Resets every board of the chain; its acquisition stops. Answer WRITE {1}. */
VXN_API unsigned int global_reset(const char* identifier);

/* ------------------------------------------------------------------------ */
/* Acquisitions                                                             */
/* ------------------------------------------------------------------------ */
/*
 * `identifiers` names one chain or several joined by '|'. Each chain is set
 * up in list order; then the chains are started in list order, the last one
 * as an asynchronous command whose answer (the master's WRITE
 * acknowledgement) arrives with the returned call id; the ones before it are
 * started by the call itself and use up the call ids before it. If setting
 * up a chain fails, nothing is started and 0 is returned; chains set up before
 * keep their new settings. A list without any identifier returns 0 without
 * an error.
 *
 * start, start_map, start_waveform and start_listwave pause the background
 * rescan of the chains until stop() (see autoScanSlaves).
 */

/* One spectrum of `spect_depth` bins (1024, 2048 or 4096) per board,
 * accumulated for `seconds`. */
VXN_API unsigned int start(const char* identifiers, double seconds, unsigned short spect_depth);

/* A map: `points` spectra per board, each `sp_time` ms long; with sp_time 0
 * the points are advanced by the auxiliary input. */
VXN_API unsigned int start_map(const char* identifiers, unsigned int sp_time, unsigned int points,
                               unsigned short spect_depth);

/* List mode: one record per event for `seconds`. */
VXN_API unsigned int start_list(const char* identifiers, double seconds);

/* Combined list and waveform mode: `length` samples per event (8 to 1256, a
 * multiple of 4) at decimation `dec_ratio` (1 to 32). Every chain is started
 * by the call itself: no answer is delivered, but the call ids are used up
 * and the last one is returned. Unlike the other starts, an empty piece of the
 * list is an unknown identifier. */
VXN_API unsigned int start_listwave(const char* identifiers, double seconds,
                                    unsigned short dec_ratio, unsigned short length,
                                    unsigned short wave_extra);

/* Waveform: `length` x 16384 samples per board at decimation `dec_ratio`
 * (1 to 32), triggered by `trig_mask` and `trig_level` (0 to 65535). `mode`
 * is only logged. */
VXN_API unsigned int start_waveform(const char* identifiers, unsigned short mode,
                                    unsigned short dec_ratio, unsigned int trig_mask,
                                    unsigned int trig_level, double seconds, unsigned short length);

/* Stops the acquisition of each chain of the list (the last one as an
 * asynchronous command whose answer is the last board's acknowledgement) and
 * resumes the background rescan while it is enabled. */
VXN_API unsigned int stop(const char* identifiers);

/* ------------------------------------------------------------------------ */
/* Synchronous chain functions                                              */
/* ------------------------------------------------------------------------ */

/* Empties the data stores of every board of the chain.
 * Errors: EC_UNKNOWN_IDENTIFIER, EC_FW_UNSUPPORTED. */
VXN_API bool clear_chain(const char* identifier);

/* Empties the data stores of one board. Errors as clear_chain, and
 * EC_OUT_OF_RANGE for a board not in the chain. */
VXN_API bool clear_board(const char* identifier, unsigned short board);

/* Reads one register of a board and returns its value; 0 on failure, with
 * the last error set (EC_UNKNOWN_IDENTIFIER, EC_OUT_OF_RANGE for a board not in
 * the chain, EC_RUNTIME when the board does not answer). A register that holds
 * 0 also returns 0: check the last error when it matters. Waits up to 5 s. */
VXN_API unsigned int advanced_read(const char* identifier, unsigned short board,
                                   unsigned short address);

/* ------------------------------------------------------------------------ */
/* Acquired data                                                            */
/* ------------------------------------------------------------------------ */
/*
 * The boards' data is received in the background and kept per board until it
 * is read. These functions copy it out; they run on the caller's thread.
 *
 * No data yet is not a failure: the function returns true, writes zeros
 * into a spectrum buffer, and leaves the other outputs as they were.
 * Errors: EC_UNKNOWN_IDENTIFIER; EC_OUT_OF_RANGE (board not in the chain, or a
 * `size` that does not match: `size` is then set to the size needed);
 * EC_WRONG_MODE (the board acquires in another mode); EC_DATA_LOCK (the
 * board's store stayed busy for 2 s); EC_FW_UNSUPPORTED.
 */

/* Single-spectrum mode: copies the spectrum accumulated so far (`size` must
 * be its depth: 1024, 2048 or 4096 bins) into `data`, its id into
 * `spectrum_id` and its statistics into `stats`; the spectrum stays.
 * List and list-wave modes: takes the `size` oldest events (`size` at most the
 * number available) into `data`, with the statistics of the last statistics
 * packet; the events are removed. */
VXN_API bool getData(const char* identifier, unsigned short board, unsigned long* data,
                     VXN_OUT(unsigned int) spectrum_id, VXN_OUT(statistics) stats,
                     VXN_OUT(unsigned int) size);

/* Map modes: copies the newest complete map spectrum (bins cut to 16 bits)
 * without removing it; needs two spectra stored (the newest one is still
 * being filled). */
VXN_API bool getLiveDataMap(const char* identifier, unsigned short board, unsigned short* data,
                            VXN_OUT(unsigned int) spectrum_id, VXN_OUT(statistics) stats,
                            VXN_OUT(unsigned int) size);

/* List-wave mode: takes the `size` oldest data units into `data`, as getData
 * does in list mode. `second_data` is not written. */
VXN_API bool getListWaveData(const char* identifier, unsigned short board, unsigned long* data,
                             unsigned long* second_data, VXN_OUT(unsigned int) spectrum_id,
                             VXN_OUT(statistics) stats, VXN_OUT(unsigned int) size);

/* Waveform mode: `size` must be the waveform's length (length x 16384
 * samples); copies all samples but the last slot, which is never filled. */
VXN_API bool getWaveData(const char* identifier, unsigned short board, unsigned short* data,
                         VXN_OUT(unsigned int) size);

/* How much can be read: waveform mode, the samples received plus 1 (the
 * waveform's length once it is complete); list and list-wave modes, the
 * events waiting; map modes, the complete map spectra waiting; single-spectrum
 * mode, 0. */
VXN_API bool getAvailableData(const char* identifier, unsigned short board,
                              VXN_OUT(unsigned int) count);

/* Map modes: takes the `count` oldest complete map spectra out of the store.
 * `data` must have room for count x size bins (cut to 16 bits),
 * `spectrum_ids` for count ids, `rates` for 4 x count values (period, live
 * time, ICR, OCR per spectrum) and `counters` for 22 x count values (time, the
 * ten statistics counters, then the map header values). `count` on return
 * is the number handed out. Asking for more spectra than are complete fails
 * with EC_OUT_OF_RANGE and removes nothing. */
VXN_API bool getAllData(const char* identifier, unsigned short board, unsigned short* data,
                        unsigned int* spectrum_ids, double* rates, unsigned long* counters,
                        VXN_OUT(unsigned int) size, VXN_OUT(unsigned int) count);

/* Whether the board has sent its last data of the acquisition. */
VXN_API bool isLastDataReceived(const char* identifier, unsigned short board,
                                VXN_OUT(bool) received);

/* Whether the board reported the end of its transmission (single-spectrum
 * and map modes). */
VXN_API bool isTransmissionEnded(const char* identifier, unsigned short board, VXN_OUT(bool) ended);

#ifdef __cplusplus
}
#endif

#endif /* VXN_DPP_H */
