// Acquisition control and pulse-processing parameters of a chain.
#include <cmath>
#include <stdexcept>

#include "Boost_Log.h"
#include "dpp_math.h"
#include "exceptions.h"
#include "globals.h"
#include "register_map.h"
#include "vxn_ctrl_brd_dpp.h"
#include "vxn_ctrl_brd_dpp_chain.h"

namespace {

constexpr unsigned short all_boards = 255;

}  // namespace

// --- Addressing ----------------------------------------------------------------------

std::vector<std::shared_ptr<vxn_ctrl_brd_dpp>> vxn_ctrl_brd_dpp_chain::working_boards() {
    auto list = boards_snapshot();
    // A chain whose master was refused, or whose boards were all dropped
    // after a failure, has nothing to work on.
    if (!initialized_ || list.empty())
        throw fw_unsupported();
    return list;
}

void vxn_ctrl_brd_dpp_chain::require_idle_master() {
    auto list = working_boards();
    if (list.front()->is_running().second.at(0) == 1)
        throw running_error();
}

bool vxn_ctrl_brd_dpp_chain::has_broadcast_address() {
    // The board field of a request is one byte.
    return last_unicast_address + boards_in_chain() <= 0xFF;
}

std::vector<unsigned int> vxn_ctrl_brd_dpp_chain::write_all(
    unsigned short address, const std::vector<unsigned int>& words) {
    const unsigned int n = boards_in_chain();
    if (has_broadcast_address()) {
        auto answer =
            write(address, static_cast<unsigned short>(last_unicast_address + n), words, false);
        check_answer(answer);
        return answer;
    }
    std::vector<unsigned int> answer;
    for (unsigned short b = 0; b < n; ++b) {
        answer = write(address, b, words, false);
        check_answer(answer);
    }
    return answer;
}

std::shared_ptr<vxn_ctrl_brd_dpp> vxn_ctrl_brd_dpp_chain::addressed_board(unsigned short board,
                                                                          bool all_allowed,
                                                                          const char* what) {
    const auto list = boards_snapshot();
    if (board < list.size())
        return list[board];
    if (board == all_boards && all_allowed && !list.empty())
        return list.back();
    throw std::out_of_range(what);
}

void vxn_ctrl_brd_dpp_chain::write_to(bool all, vxn_ctrl_brd_dpp& board, unsigned short address,
                                      const std::vector<unsigned int>& words) {
    if (all)
        write_all(address, words);
    else
        board.write_checked(address, words);
}

// --- Acquisition control ----------------------------------------------------------------

boards::result vxn_ctrl_brd_dpp_chain::is_running(unsigned short board) {
    working_boards();
    return board_at(board, "is_running: Board")->is_running();
}

boards::result vxn_ctrl_brd_dpp_chain::disableBoard(unsigned short board, bool disable) {
    working_boards();
    return board_at(board, "disableBoard: Board")->disableBoard(disable);
}

boards::result vxn_ctrl_brd_dpp_chain::config_MCA(unsigned short mode, unsigned int time,
                                                  unsigned int map_points,
                                                  unsigned int time_per_spectrum,
                                                  unsigned short spect_depth) {
    const auto list = working_boards();
    if (map_points > reg::MAP_POINTS_MASK)
        throw std::out_of_range("config_MCA: map_points");
    for (auto& b : list) check_answer(b->select_mode(mode).second);
    for (auto& b : list) check_answer(b->set_spect_depth(spect_depth).second);
    spect_depth_ = spect_depth;
    write_all(reg::ACQ_TIME, {time});
    for (auto& b : list) check_answer(b->setMapPoints(map_points).second);
    return {globals::WRITE, write_all(reg::TIME_PER_SPECTRUM, {time_per_spectrum})};
}

boards::result vxn_ctrl_brd_dpp_chain::start() {
    const auto list = working_boards();
    clear_chain();
    // Every board starts with fresh end-of-data flags, not only the master.
    for (auto& b : list) b->data().start_flags();
    auto result = list.front()->run();
    running_ = true;
    return result;
}

boards::result vxn_ctrl_brd_dpp_chain::stop() {
    const auto list = working_boards();
    result last{globals::WRITE, {1}};
    for (auto& b : list) {
        last = b->stop();
        check_answer(last.second);
    }
    running_ = false;
    return last;
}

void vxn_ctrl_brd_dpp_chain::clear_chain() {
    for (auto& b : working_boards()) b->clear();
}

void vxn_ctrl_brd_dpp_chain::clear_board(unsigned short board) {
    working_boards();
    board_at(board, "clear_board: Board")->clear();
}

void vxn_ctrl_brd_dpp_chain::set_waveform(unsigned short& dec_ratio, unsigned int& trig_mask,
                                          unsigned int& trig_level, unsigned short& length) {
    const auto list = working_boards();
    vxn_ctrl_brd_dpp::check_waveform(dec_ratio, trig_level, false, length);
    for (auto& b : list)
        check_answer(b->set_waveform(dec_ratio, trig_mask, trig_level, length).second);
}

void vxn_ctrl_brd_dpp_chain::set_list_waveform(unsigned short& dec_ratio, unsigned int& trig_mask,
                                               unsigned int& trig_level, unsigned short& length,
                                               unsigned short& wave_extra) {
    const auto list = working_boards();
    vxn_ctrl_brd_dpp::check_waveform(dec_ratio, trig_level, true, length);
    for (auto& b : list)
        check_answer(
            b->set_list_waveform(dec_ratio, trig_mask, trig_level, length, wave_extra).second);
}

// --- Parameters --------------------------------------------------------------------

boards::result vxn_ctrl_brd_dpp_chain::config_DPP(unsigned short board, unsigned short param,
                                                  unsigned int value) {
    auto target = addressed_board(board, true, "config_DPP: Board");
    const bool all = board == all_boards;
    write_to(all, *target, reg::DPP_PARAM_INDEX, {param, value});
    write_to(all, *target, reg::DPP_PARAM_STROBE, {1});
    return {globals::WRITE, {1}};
}

unsigned int vxn_ctrl_brd_dpp_chain::read_DPP(unsigned short board, unsigned short address) {
    return addressed_board(board, false, "config_DPP: Board")->read_register(address);
}

boards::result vxn_ctrl_brd_dpp_chain::configure_gating(unsigned short board, GatingMode mode) {
    require_idle_master();
    const unsigned int code = mode >= TriggerRising && mode <= GatedLow ? mode : 0;
    auto target = addressed_board(board, true, "config_DPP Gating: Board");
    const bool all = board == all_boards;
    // Every board that gets the new gating decodes its map data by it.
    if (all)
        for (auto& b : boards_snapshot()) b->data().set_gating_mode(code);
    else
        target->data().set_gating_mode(code);
    const unsigned int old = target->read_register(reg::MAP_GATING);
    write_to(all, *target, reg::MAP_GATING,
             {(old & 0xF0FFFFFF) | (code << 25) | (code != 0 ? reg::GATING_ENABLE_BIT : 0)});
    return {globals::WRITE, {1}};
}

boards::result vxn_ctrl_brd_dpp_chain::configure_input(unsigned short board, InputMode mode) {
    require_idle_master();
    unsigned int code = 2;
    switch (mode) {
        case DC_RinHighImp:
            code = 1;
            break;
        case DC_RinLowImp:
            code = 3;
            break;
        case AC_Slow:
            code = 0;
            break;
        default:
            code = 2;
    }
    auto target = addressed_board(board, true, "config_DPP Input mode: Board");
    write_to(board == all_boards, *target, reg::INPUT_CONFIG, {code});
    return {globals::WRITE, {1}};
}

boards::result vxn_ctrl_brd_dpp_chain::configure_emulator(unsigned short board, bool on) {
    working_boards();
    auto target = addressed_board(board, false, "config_DPP Input mode: Board");
    const unsigned int old = target->read_register(reg::INPUT_CONFIG);
    target->write_checked(reg::INPUT_CONFIG, {(old & ~4u) | (on ? 4u : 0u)});
    return {globals::WRITE, {1}};
}

boards::result vxn_ctrl_brd_dpp_chain::configure_offset(unsigned short board,
                                                        configuration_offset offset) {
    require_idle_master();
    const unsigned int value = ((offset.offset_val2 * 256u) + offset.offset_val1) * 256u;
    auto target = addressed_board(board, false, "config_DPP Offset: Board");
    const unsigned int old = target->read_register(reg::TIMESTAMP_CONFIG);
    target->write_checked(reg::TIMESTAMP_CONFIG, {(old & 0xFF0000FF) | value});
    return {globals::WRITE, {1}};
}

boards::result vxn_ctrl_brd_dpp_chain::configure_timestamp_delay(unsigned short board,
                                                                 unsigned short delay,
                                                                 unsigned short second) {
    working_boards();
    auto target = addressed_board(board, false, "config_DPP Offset: Board");
    target->set_timestamp_second(second);
    const unsigned int old = target->read_register(reg::TIMESTAMP_CONFIG);
    target->write_checked(reg::TIMESTAMP_CONFIG,
                          {(old & 0x00FFFF00) | delay | (static_cast<unsigned int>(second) << 24)});
    return {globals::WRITE, {1}};
}

void vxn_ctrl_brd_dpp_chain::set_dpp_int_param(unsigned int edge_peaking_time,
                                               unsigned int edge_flat_top,
                                               unsigned int reset_recovery_time) {
    dpp_int_params_[0] = edge_peaking_time;
    dpp_int_params_[1] = edge_flat_top;
    dpp_int_params_[2] = reset_recovery_time;
}

void vxn_ctrl_brd_dpp_chain::get_dpp_int_param(unsigned int& edge_peaking_time,
                                               unsigned int& edge_flat_top,
                                               unsigned int& reset_recovery_time) {
    edge_peaking_time = dpp_int_params_[0];
    edge_flat_top = dpp_int_params_[1];
    reset_recovery_time = dpp_int_params_[2];
}

boards::result vxn_ctrl_brd_dpp_chain::configure(unsigned short board, configuration cfg) {
    using dpp_math::trunc32;
    require_idle_master();
    dpp_math::validate(cfg);
    auto param = [&](unsigned short index, unsigned int value) { config_DPP(board, index, value); };
    const unsigned int polarity = cfg.inverted_input ? 1u << 24 : 0u;

    param(207, cfg.max_risetime == 0 ? 0xFFFFFF : dpp_math::rise_time_figure(cfg));
    param(128, polarity);
    param(162, cfg.reset_recovery_time);
    param(181, 0);
    param(185, 0);
    param(175, 1);
    set_dpp_int_param(cfg.edge_peaking_time, cfg.edge_flat_top, cfg.reset_recovery_time);
    param(209, dpp_math::decay_factor(cfg.time_constant));
    param(205, cfg.time_constant != 0 ? cfg.base_offset + 0x10000u : 0u);
    param(210, cfg.overflow_recovery);
    param(127, cfg.reset_threshold);

    const auto list = boards_snapshot();
    std::shared_ptr<vxn_ctrl_brd_dpp> table_board;
    if (board < list.size())
        table_board = list[board];
    else if (board == all_boards && !list.empty())
        table_board = list.back();
    else
        throw std::out_of_range("config_DPP: Board");
    const auto table = table_board->get_baseline_parameters();
    if (table[8] != 0 && cfg.baseline_samples != 0) {
        const uint32_t peaking =
            cfg.max_peaking_time != 0 ? cfg.max_peaking_time : cfg.peaking_time;
        const auto stages = dpp_math::baseline_stages(table, cfg.baseline_samples, peaking);
        param(253, 0);
        int first = -1, last = -1;
        for (unsigned short k = 0; k < 8; ++k) {
            const uint32_t N = stages[k];
            if (N != 0) {
                const auto w = dpp_math::baseline_weights(N);
                param(213 + 4 * k, static_cast<unsigned int>(w.x >> 32));
                param(214 + 4 * k, static_cast<unsigned int>(w.x & 0xFFFFFFFF));
                param(215 + 4 * k, static_cast<unsigned int>(w.y >> 32));
                param(216 + 4 * k, static_cast<unsigned int>(w.y & 0xFFFFFFFF));
                if (first < 0)
                    first = k;
                last = k;
            }
            param(245 + k, N);
        }
        param(211, stages[first]);
        param(212, stages[last]);
        param(255, static_cast<unsigned int>(last));
        param(253, 1);
        param(254, 1);
        param(254, 0);
    } else {
        param(253, 0);
        param(254, 1);
        param(254, 0);
    }

    param(152, trunc32(cfg.fast_filter_thr / cfg.gain * cfg.edge_peaking_time,
                       "configure: fast_filter_thr"));
    param(165, trunc32(cfg.energy_filter_thr / cfg.gain * cfg.peaking_time * 4,
                       "configure: energy_filter_thr"));
    param(165, trunc32(cfg.energy_filter_thr2 / cfg.gain * std::min(cfg.peaking_time, 20u) * 4,
                       "configure: energy_filter_thr2") +
                   0x10000000u);
    param(154, cfg.edge_flat_top == 1
                   ? 0u
                   : static_cast<unsigned int>(std::ceil(cfg.edge_flat_top * 0.5)));
    param(142, cfg.zero_peak_freq == 0
                   ? 0u
                   : trunc32(1 / cfg.zero_peak_freq * 0.125 * 1e6, "configure: zero_peak_freq") +
                         0x80000000u);
    param(156, cfg.edge_peaking_time);
    param(150, cfg.edge_flat_top);
    param(cfg.max_peaking_time == 0 ? 149 : 157, cfg.peaking_time + 0x10000000u);
    param(158, cfg.max_peaking_time + 0x10000000u);
    param(150, cfg.flat_top + 0x10000000u);
    param(153, 2u * (cfg.flat_top + cfg.peaking_time) + 0x10000000u);
    param(184,
          cfg.max_peaking_time == 0
              ? trunc32(cfg.gain * 16777216.0 / cfg.peaking_time + 268435456.0, "configure: gain")
              : trunc32(cfg.gain * 65536.0 + 268435456.0, "configure: gain"));
    param(148, 3);
    param(98, trunc32(262144.0 * cfg.tail_coefficient, "configure: tail_coefficient"));
    param(128, polarity + 4);
    param(128, polarity + 1);

    // other_param: bits 28-31 of POSITION_LIMIT, the rest kept.
    const bool all = board == all_boards;
    const unsigned int old = table_board->read_register(reg::POSITION_LIMIT);
    write_to(all, *table_board, reg::POSITION_LIMIT,
             {(cfg.other_param << 28) | (old & 0x0FFFFFFF)});

    param(16, reg::CONFIGURED_MARK);
    return {globals::WRITE, {1}};
}
