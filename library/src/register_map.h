// Board registers and DPP parameter numbers. Every register is 32 bits wide;
// a write of k words at address a fills registers a .. a+k-1.
#pragma once

namespace reg {

constexpr unsigned short FW_RELEASE = 0;          // 16-23 major, 8-15 minor, 0-7 patch, 24-31 type
constexpr unsigned short DPP_PARAM_INDEX = 1;     // first word of the parameter window
constexpr unsigned short DPP_PARAM_VALUE = 2;     // second word
constexpr unsigned short DPP_PARAM_STROBE = 3;    // 1 commits index and value
constexpr unsigned short ACQ_CONTROL = 4;         // 0-1 command; 2 (read) acquiring
constexpr unsigned short ACQ_TIME = 5;            // acquisition time, ms
constexpr unsigned short MODE_CONFIG = 7;         // mode, decimation, trigger, depth, level
constexpr unsigned short WAVE_LENGTH = 8;         // 0-10 length - 1; 11-21 list-wave extra
constexpr unsigned short MAP_GATING = 9;          // 0-23 points; 24 gating; 25-27 code; 31 off
constexpr unsigned short TIME_PER_SPECTRUM = 10;  // ms per spectrum or map point
constexpr unsigned short NET_CONFIG_DATA = 11;    // one word of the network block
constexpr unsigned short NET_CONFIG_STROBE = 13;  // 1 commits the word
constexpr unsigned short LINK_STATUS = 14;        // chain link bits, see below
constexpr unsigned short POSITION_LIMIT = 15;     // 28-31 other_param
constexpr unsigned short TIMESTAMP_CONFIG = 16;   // offsets and time-stamp delay
constexpr unsigned short INPUT_CONFIG = 17;       // input coupling; bit 2 emulator
constexpr unsigned short FLASH_COMMAND = 18;      // opcode << 24 | byte address
constexpr unsigned short FLASH_DATA = 19;         // word fetched by the last read

// ACQ_CONTROL
constexpr unsigned int ACQ_RUNNING_BIT = 1u << 2;
constexpr unsigned int ACQ_STOP_COMMAND = 2;

// LINK_STATUS
constexpr unsigned int LINK_DRR_CALIB_DONE = 1u << 0;
constexpr unsigned int LINK_SX_BOARD_PRESENT = 1u << 1;
constexpr unsigned int LINK_DX_BOARD_PRESENT = 1u << 2;
constexpr unsigned int LINK_SERDES_CALIB_DONE_SX = 1u << 3;
constexpr unsigned int LINK_SERDES_CALIB_DONE_DX = 1u << 4;
constexpr unsigned int LINK_DX_BOARD_IS_MASTER = 1u << 6;
// A next board is present and its link calibrated.
constexpr unsigned int LINK_SLAVE_READY = LINK_DX_BOARD_PRESENT | LINK_SERDES_CALIB_DONE_SX;

// MODE_CONFIG
constexpr unsigned int MODE_MASK = 0x7;
constexpr unsigned int DEPTH_2048_BIT = 1u << 11;
constexpr unsigned int DEPTH_1024_BIT = 1u << 12;

// MAP_GATING
constexpr unsigned int MAP_POINTS_MASK = 0x00FFFFFF;
constexpr unsigned int GATING_ENABLE_BIT = 1u << 24;
constexpr unsigned int BOARD_DISABLED_BIT = 1u << 31;

// FLASH_COMMAND opcodes
constexpr unsigned int FLASH_WRITE_ENABLE = 0x06000000;
constexpr unsigned int FLASH_SECTOR_ERASE = 0xD8000000;
constexpr unsigned int FLASH_PAGE_PROGRAM = 0x02000000;
constexpr unsigned int FLASH_READ = 0x03000000;

// Value of DPP parameter 16 once a configuration was written completely.
constexpr unsigned int CONFIGURED_MARK = 0x028757B2;

}  // namespace reg
