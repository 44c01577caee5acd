#include "frame_finder.h"

#include "frames.h"

namespace {

constexpr size_t header_size = 8;

uint32_t be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

found_frame data_frame(unsigned short kind, uint16_t board, const unsigned char* begin,
                       size_t size) {
    found_frame f;
    f.type = found_frame::data;
    f.kind = kind;
    f.board = board;
    f.bytes.assign(begin, begin + size);
    return f;
}

}  // namespace

void frame_finder::reset() {
    kept_.clear();
    pending_ = pending_read{};
}

void frame_finder::feed(const unsigned char* data, size_t size, unsigned short depth,
                        std::vector<found_frame>& out) {
    kept_.insert(kept_.end(), data, data + size);
    const unsigned char* const buf = kept_.data();
    const size_t end = kept_.size();
    // One spectrum record: depth 16-bit bins and 32 words of statistics.
    const uint32_t record_bytes = 4u * (depth / 2u + 32u);
    size_t p = 0;

    while (p < end) {
        const size_t available = end - p;

        if (pending_.bytes_to_read > 0) {
            const uint32_t wanted = pending_.bytes_to_read;
            if (wanted <= available) {
                out.push_back(data_frame(pending_.kind, pending_.board, buf + p, wanted));
                p += wanted;
                pending_.bytes_to_read = 0;
                continue;
            }
            const size_t take = available / pending_.min_read_size * pending_.min_read_size;
            if (take > 0)
                out.push_back(data_frame(pending_.kind, pending_.board, buf + p, take));
            pending_.bytes_to_read -= static_cast<uint32_t>(take);
            p += take;
            break;
        }

        if (available < header_size) {
            if (buf[p] == commands::PKT_START_HIGH_BYTE)
                break;  // maybe a header: wait
            ++p;
            continue;
        }
        if (!is_frame_header(buf + p)) {
            ++p;
            continue;
        }

        const uint8_t code = buf[p + 2];
        const uint16_t board = buf[p + 3];
        const uint8_t packet_id = buf[p + 4];
        const uint32_t length =
            (uint32_t(buf[p + 5]) << 16) | (uint32_t(buf[p + 6]) << 8) | buf[p + 7];
        const size_t payload_bytes = 4 * size_t(length);
        const unsigned char* payload = buf + p + header_size;
        const size_t payload_available = available - header_size;

        if (code == commands::CMD_READ) {
            if (payload_available < payload_bytes)
                break;  // answer incomplete: wait
            found_frame f;
            f.type = found_frame::read_answer;
            f.code = code;
            f.board = board;
            f.packet_id = packet_id;
            f.words.reserve(length);
            for (uint32_t k = 0; k < length; ++k) f.words.push_back(be32(payload + 4 * k));
            out.push_back(std::move(f));
            p += header_size + payload_bytes;
        } else if (code == commands::CMD_WRITE) {
            found_frame f;
            f.type = found_frame::write_answer;
            f.code = code;
            f.board = board;
            f.packet_id = packet_id;
            out.push_back(std::move(f));
            p += header_size;
        } else if (code == commands::DATA_SPECTRUM || code == commands::DATA_MAP ||
                   code == commands::DATA_WAVEFORM) {
            const unsigned short kind = code == commands::DATA_SPECTRUM ? data_kind::spectrum
                                        : code == commands::DATA_MAP    ? data_kind::map
                                                                        : data_kind::waveform;
            if (payload_available >= payload_bytes) {
                out.push_back(data_frame(kind, board, payload, payload_bytes));
                p += header_size + payload_bytes;
                continue;
            }
            // Hand out what is whole now; the rest follows with the next chunks.
            const uint32_t unit = kind == data_kind::waveform ? 4 : record_bytes;
            const size_t units_here = payload_available / unit;
            const size_t units_total = payload_bytes / unit;
            if (units_here > 0)
                out.push_back(data_frame(kind, board, payload, units_here * unit));
            pending_.bytes_to_read = static_cast<uint32_t>((units_total - units_here) * unit);
            pending_.board = board;
            pending_.kind = kind;
            pending_.min_read_size = unit;
            p += header_size + units_here * unit;
            if (pending_.bytes_to_read == 0)
                continue;  // only a malformed tail is missing
            break;
        } else if (code == commands::DATA_LIST || code == commands::DATA_LIST_WAVE) {
            if (payload_available < payload_bytes)
                break;  // list payloads go out whole
            out.push_back(
                data_frame(code == commands::DATA_LIST ? data_kind::list : data_kind::list_wave,
                           board, payload, payload_bytes));
            p += header_size + payload_bytes;
        } else {
            p += header_size;  // 0xD7..0xDF carry nothing we use
        }
    }
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(p));
}
