// A serial NOR flash as the board's logic exposes it: write enable, 64 KiB
// sector erase, 256-byte page program (which can only clear bits) and word
// read. Sectors are allocated on first write, so a long chain of 4 MiB
// flashes costs nothing until someone programs them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vxnsim {

class NorFlash {
  public:
    static constexpr uint32_t kSectorSize = 0x10000;
    static constexpr uint32_t kPageSize = 256;
    static constexpr uint32_t kDefaultSize = 4u << 20;

    static constexpr uint8_t kWriteEnable = 0x06;
    static constexpr uint8_t kWriteDisable = 0x04;
    static constexpr uint8_t kSectorErase = 0xD8;
    static constexpr uint8_t kPageProgram = 0x02;
    static constexpr uint8_t kReadWord = 0x03;

    // `size` is rounded up to whole sectors.
    explicit NorFlash(uint32_t size = kDefaultSize);

    // Runs one command word (opcode in bits 24-31, byte address in bits
    // 0-23) with the data words that followed it in the same write. Returns
    // false for an opcode the flash does not know or a program/erase refused
    // for want of write enable.
    bool execute(uint32_t command, const uint32_t* data, std::size_t count);

    uint32_t data_register() const { return data_register_; }
    bool write_enabled() const { return write_enabled_; }
    uint32_t size() const { return size_; }

    std::vector<uint8_t> read(uint32_t offset, uint32_t length) const;
    uint8_t byte_at(uint32_t address) const;

  private:
    using Sector = std::array<uint8_t, kSectorSize>;
    Sector& writable_sector(uint32_t address);

    uint32_t size_;
    std::vector<std::unique_ptr<Sector>> sectors_;  // null: erased (all 0xFF)
    bool write_enabled_ = false;
    uint32_t data_register_ = 0xFFFFFFFF;
};

}  // namespace vxnsim
