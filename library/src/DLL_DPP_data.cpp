// The data functions: spectra, map spectra, waveforms and events out of the
// boards' stores.
#include <cstring>
#include <memory>
#include <stdexcept>

#include "Boost_Log.h"
#include "DLL_DPP.h"
#include "api_frame.h"
#include "boards.h"
#include "data_conversions.h"
#include "globals.h"

using vxn::api_call;
using vxn::listing;
using vxn::require;
using vxn::require_text;
using vxn::show_text;
namespace caught = vxn::caught;

namespace {

// Runs a read of a board's store. "Nothing there yet" is no failure: the
// function succeeds and leaves the outputs as the board left them. A store
// that stayed locked is a failure, though: its outputs hold nothing new.
template <class Read>
bool data_call(Read read) {
    return api_call(
        false,
        [&] {
            try {
                read();
            } catch (const std::underflow_error& e) {
                if (std::strcmp(e.what(), "Lock error.") == 0) {
                    globals::set_last_error(EC_DATA_LOCK);
                    return false;
                }
            }
            return true;
        },
        listing(caught::data));
}

std::shared_ptr<boards> chain_of(const char* identifier) {
    return globals::get()->getByID(require_text(identifier, "identifier"));
}

}  // namespace

// ============================================================================
// Exported shells
// ============================================================================

bool getData(const char* id, unsigned short board, unsigned long* data, unsigned int* spectrum_id,
             statistics* stats, unsigned int* size) {
    return int_getData(id, board, data, spectrum_id, stats, size);
}
bool getLiveDataMap(const char* id, unsigned short board, unsigned short* data,
                    unsigned int* spectrum_id, statistics* stats, unsigned int* size) {
    return int_getLiveDataMap(id, board, data, spectrum_id, stats, size);
}
bool getListWaveData(const char* id, unsigned short board, unsigned long* data,
                     unsigned long* second_data, unsigned int* spectrum_id, statistics* stats,
                     unsigned int* size) {
    return int_getListWaveData(id, board, data, second_data, spectrum_id, stats, size);
}
bool getWaveData(const char* id, unsigned short board, unsigned short* data, unsigned int* size) {
    return int_getWaveData(id, board, data, size);
}
bool getAvailableData(const char* id, unsigned short board, unsigned int* count) {
    return int_getAvailableData(id, board, count);
}
bool getAllData(const char* id, unsigned short board, unsigned short* data,
                unsigned int* spectrum_ids, double* rates, unsigned long* counters,
                unsigned int* size, unsigned int* count) {
    return int_getAllData(id, board, data, spectrum_ids, rates, counters, size, count);
}
bool isLastDataReceived(const char* id, unsigned short board, bool* received) {
    return int_isLastDataReceived(id, board, received);
}
bool isTransmissionEnded(const char* id, unsigned short board, bool* ended) {
    return int_isTransmissionEnded(id, board, ended);
}

// ============================================================================
// Bodies
// ============================================================================

namespace {

// The three reads that hand out data with an id and statistics: the frame,
// the required outputs, and the conversion of the board's statistics.
template <class Element, class Read, class Convert>
bool read_with_statistics(const char* identifier, unsigned short board, Element* data,
                          unsigned int* spectrum_id, statistics* stats, unsigned int* size,
                          Read read, Convert convert) {
    return data_call([&] {
        auto& id = require(spectrum_id, "spectrum_id");
        auto& out = require(stats, "stats");
        auto& n = require(size, "size");
        require(data, "data");
        adv_stats board_stats{};
        read(*chain_of(identifier), id, board_stats, n);
        out = convert(board_stats);
        VXN_LOG("Functions", DBG) << "Functions. "
                                  << "Get data function returns " << identifier
                                  << ", board: " << board << ", id: " << id << ".";
    });
}

}  // namespace

bool int_getData(const char* identifier, unsigned short board, unsigned long* data,
                 unsigned int* spectrum_id, statistics* stats, unsigned int* size) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Get data function " << show_text(identifier)
                              << ", board: " << board;
    return read_with_statistics(
        identifier, board, data, spectrum_id, stats, size,
        [&](boards& chain, unsigned int& id, adv_stats& s, unsigned int& n) {
            chain.getLiveData(board, data, id, s, n);
        },
        to_statistics);
}

bool int_getListWaveData(const char* identifier, unsigned short board, unsigned long* data,
                         unsigned long* second_data, unsigned int* spectrum_id, statistics* stats,
                         unsigned int* size) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Get data function for list wave mode " << show_text(identifier)
                              << ", board: " << board;
    return read_with_statistics(
        identifier, board, data, spectrum_id, stats, size,
        [&](boards& chain, unsigned int& id, adv_stats& s, unsigned int& n) {
            chain.getLiveListWaveData(board, data, second_data, id, s, n);
        },
        to_statistics);
}

bool int_getLiveDataMap(const char* identifier, unsigned short board, unsigned short* data,
                        unsigned int* spectrum_id, statistics* stats, unsigned int* size) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Get data function " << show_text(identifier)
                              << ", board: " << board;
    return read_with_statistics(
        identifier, board, data, spectrum_id, stats, size,
        [&](boards& chain, unsigned int& id, adv_stats& s, unsigned int& n) {
            chain.getLiveDataMap(board, data, id, s, n);
        },
        to_map_statistics);
}

bool int_getWaveData(const char* identifier, unsigned short board, unsigned short* data,
                     unsigned int* size) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Get wave data function " << show_text(identifier)
                              << ", board: " << board;
    return data_call([&] {
        auto& n = require(size, "size");
        require(data, "data");
        chain_of(identifier)->getWaveData(board, data, n);
        VXN_LOG("Functions", DBG) << "Functions. "
                                  << "Get wave data function returns " << identifier
                                  << ", board: " << board << ".";
    });
}

bool int_getAvailableData(const char* identifier, unsigned short board, unsigned int* count) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Get available data function " << show_text(identifier)
                              << ", board: " << board;
    return data_call([&] {
        auto& n = require(count, "count");
        chain_of(identifier)->getAvailableData(board, n);
        VXN_LOG("Functions", DBG) << "Functions. "
                                  << "Get available data function returns " << identifier
                                  << ", board: " << board << ", data_nb: " << n;
    });
}

bool int_getAllData(const char* identifier, unsigned short board, unsigned short* data,
                    unsigned int* spectrum_ids, double* rates, unsigned long* counters,
                    unsigned int* size, unsigned int* count) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Get all data function " << show_text(identifier)
                              << ", board: " << board;
    return data_call([&] {
        auto& n = require(count, "count");
        auto& bins = require(size, "size");
        require(data, "data");
        require(spectrum_ids, "spectrum_ids");
        require(rates, "rates");
        require(counters, "counters");
        const unsigned int room = n;
        auto stats = std::make_unique<adv_stats[]>(room);
        chain_of(identifier)->getAllData(board, data, spectrum_ids, stats.get(), bins, n);
        // The board never hands out more than it was given room for.
        fill_all_data_arrays(stats.get(), std::min(n, room), rates, counters);
        VXN_LOG("Functions", DBG) << "Functions. "
                                  << "Get all data function returns " << identifier
                                  << ", board: " << board << " data_nb: " << n
                                  << ", id: " << static_cast<const void*>(spectrum_ids) << ".";
    });
}

bool int_isLastDataReceived(const char* identifier, unsigned short board, bool* received) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "int_isLastDataReceived " << show_text(identifier)
                              << ", board: " << board;
    return data_call([&] {
        auto& out = require(received, "received");
        chain_of(identifier)->isLastDataReceived(board, out);
        VXN_LOG("Functions", DBG) << "Functions. "
                                  << "transmissionEnded function returns " << identifier
                                  << ", board: " << board << ", LastDataReceived: " << out;
    });
}

bool int_isTransmissionEnded(const char* identifier, unsigned short board, bool* ended) {
    VXN_LOG("Functions", DBG) << "Functions. "
                              << "Get available data function " << show_text(identifier)
                              << ", board: " << board;
    return data_call([&] {
        auto& out = require(ended, "ended");
        chain_of(identifier)->isTransmissionEnded(board, out);
        VXN_LOG("Functions", DBG) << "Functions. "
                                  << "transmissionEnded function returns " << identifier
                                  << ", board: " << board << ", transmissionEnded: " << out;
    });
}
