#include "vxnsim/nor_flash.h"

#include <algorithm>

namespace vxnsim {

NorFlash::NorFlash(uint32_t size)
    : size_(std::max(kSectorSize, (size + kSectorSize - 1) / kSectorSize * kSectorSize)),
      sectors_(size_ / kSectorSize) {}

uint8_t NorFlash::byte_at(uint32_t address) const {
    address %= size_;
    const auto& sector = sectors_[address / kSectorSize];
    return sector ? (*sector)[address % kSectorSize] : 0xFF;
}

NorFlash::Sector& NorFlash::writable_sector(uint32_t address) {
    auto& sector = sectors_[(address % size_) / kSectorSize];
    if (!sector) {
        sector = std::make_unique<Sector>();
        sector->fill(0xFF);
    }
    return *sector;
}

bool NorFlash::execute(uint32_t command, const uint32_t* data, std::size_t count) {
    const uint8_t opcode = static_cast<uint8_t>(command >> 24);
    const uint32_t address = (command & 0xFFFFFF) % size_;
    switch (opcode) {
        case kWriteEnable:
            write_enabled_ = true;
            return true;
        case kWriteDisable:
            write_enabled_ = false;
            return true;
        case kSectorErase:
            if (!write_enabled_) {
                return false;
            }
            sectors_[address / kSectorSize].reset();
            write_enabled_ = false;
            return true;
        case kPageProgram: {
            if (!write_enabled_) {
                return false;
            }
            // Like the real part, the address wraps inside its page and a
            // page takes at most 256 bytes; programming only clears bits.
            const uint32_t page = address & ~(kPageSize - 1);
            Sector& sector = writable_sector(page);
            const std::size_t bytes = std::min<std::size_t>(4 * count, kPageSize);
            for (std::size_t i = 0; i < bytes; ++i) {
                const uint8_t value = static_cast<uint8_t>(data[i / 4] >> (8 * (3 - i % 4)));
                const uint32_t at = page + ((address + i) & (kPageSize - 1));
                sector[at % kSectorSize] &= value;
            }
            write_enabled_ = false;
            return true;
        }
        case kReadWord:
            data_register_ = (uint32_t{byte_at(address)} << 24) |
                             (uint32_t{byte_at(address + 1)} << 16) |
                             (uint32_t{byte_at(address + 2)} << 8) | byte_at(address + 3);
            return true;
        default:
            return false;
    }
}

std::vector<uint8_t> NorFlash::read(uint32_t offset, uint32_t length) const {
    std::vector<uint8_t> out;
    if (offset >= size_) {
        return out;
    }
    length = std::min(length, size_ - offset);
    out.reserve(length);
    while (length > 0) {
        const uint32_t in_sector = offset % kSectorSize;
        const uint32_t n = std::min(length, kSectorSize - in_sector);
        const auto& sector = sectors_[offset / kSectorSize];
        if (sector) {
            out.insert(out.end(), sector->begin() + in_sector, sector->begin() + in_sector + n);
        } else {
            out.insert(out.end(), n, 0xFF);
        }
        offset += n;
        length -= n;
    }
    return out;
}

}  // namespace vxnsim
