// The bodies of the exported functions. Each exported function f is a shell
// over int_f; the Python module calls the same bodies.
#pragma once

#include "VXN_DPP.h"

bool int_InitLibrary();
bool int_CloseLibrary();
bool int_getLastError(unsigned short* code);
bool int_resetLastError();
bool int_libVersion(char* buffer, unsigned int* size);
bool int_get_dev_number(unsigned short* count);
bool int_get_ids(char* buffer, unsigned short* index, unsigned short* size);
bool int_get_boards_in_chain(const char* identifier, unsigned short* boards);
bool int_autoScanSlaves(bool enable);
bool int_add_to_query(const char* address);
bool int_remove_from_query(const char* address);
bool int_flush_local_eth_conn(const char* address);

bool int_register_callback(vxn_dpp_callback callback);
unsigned int int_getFirmware(const char* identifier, unsigned short board);
unsigned int int_isRunning_system(const char* identifier, unsigned short board);
unsigned int int_disableBoard(const char* identifier, unsigned short board, bool disable);
unsigned int int_configure(const char* identifier, unsigned short board, configuration cfg);
unsigned int int_configure_gating(const char* identifier, GatingMode mode, unsigned short board);
unsigned int int_configure_input(const char* identifier, unsigned short board, InputMode mode);
unsigned int int_configure_emulator(const char* identifier, unsigned short board, bool on);
unsigned int int_configure_offset(const char* identifier, unsigned short board,
                                  configuration_offset offset);
unsigned int int_configure_timestamp_delay(const char* identifier, unsigned short board,
                                           unsigned short delay, unsigned short second);
unsigned int int_advanced_configure(const char* identifier, unsigned short board,
                                    unsigned short address, unsigned int data);
unsigned int int_advanced_read(const char* identifier, unsigned short board,
                               unsigned short address);
unsigned int int_global_reset(const char* identifier);
bool int_clear_chain(const char* identifier);
bool int_clear_board(const char* identifier, unsigned short board);
unsigned int int_start(const char* identifiers, double seconds, unsigned short spect_depth);
unsigned int int_start_map(const char* identifiers, unsigned int sp_time, unsigned int points,
                           unsigned short spect_depth);
unsigned int int_start_list(const char* identifiers, double seconds);
unsigned int int_start_listwave(const char* identifiers, double seconds, unsigned short dec_ratio,
                                unsigned short length, unsigned short wave_extra);
unsigned int int_start_waveform(const char* identifiers, unsigned short mode,
                                unsigned short dec_ratio, unsigned int trig_mask,
                                unsigned int trig_level, double seconds, unsigned short length);
unsigned int int_stop(const char* identifiers);

bool int_getData(const char* identifier, unsigned short board, unsigned long* data,
                 unsigned int* spectrum_id, statistics* stats, unsigned int* size);
bool int_getLiveDataMap(const char* identifier, unsigned short board, unsigned short* data,
                        unsigned int* spectrum_id, statistics* stats, unsigned int* size);
bool int_getListWaveData(const char* identifier, unsigned short board, unsigned long* data,
                         unsigned long* second_data, unsigned int* spectrum_id, statistics* stats,
                         unsigned int* size);
bool int_getWaveData(const char* identifier, unsigned short board, unsigned short* data,
                     unsigned int* size);
bool int_getAvailableData(const char* identifier, unsigned short board, unsigned int* count);
bool int_getAllData(const char* identifier, unsigned short board, unsigned short* data,
                    unsigned int* spectrum_ids, double* rates, unsigned long* counters,
                    unsigned int* size, unsigned int* count);
bool int_isLastDataReceived(const char* identifier, unsigned short board, bool* received);
bool int_isTransmissionEnded(const char* identifier, unsigned short board, bool* ended);

// The library version text.
inline constexpr const char* library_version = "3.7.6.0";
