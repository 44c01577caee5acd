// The frame finder on byte streams built here from the frame layout, fed in
// the chunks a chain's stream arrives in.
#include "frame_finder.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using bytes = std::vector<unsigned char>;

bytes header(uint8_t code, uint8_t board, uint8_t packet_id, uint32_t words) {
    return {0xAA,          0xEE, code, board, packet_id, uint8_t(words >> 16), uint8_t(words >> 8),
            uint8_t(words)};
}

bytes frame(uint8_t code, uint8_t board, uint8_t packet_id, const bytes& payload) {
    bytes f = header(code, board, packet_id, uint32_t(payload.size() / 4));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

bytes counting(size_t n, unsigned char first = 1) {
    bytes b(n);
    std::iota(b.begin(), b.end(), first);
    return b;
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Spectrum record size at depth 1024: 512 bin words and 32 header words.
constexpr size_t record_1024 = 4 * (1024 / 2 + 32);

struct fed {
    frame_finder finder;
    std::vector<found_frame> out;
    void feed(const bytes& b, unsigned short depth = 1024) {
        finder.feed(b.data(), b.size(), depth, out);
    }
    void feed_in_pieces(const bytes& b, size_t piece, unsigned short depth = 1024) {
        for (size_t k = 0; k < b.size(); k += piece)
            finder.feed(b.data() + k, std::min(piece, b.size() - k), depth, out);
    }
};

TEST(frame_finder, answers) {
    fed f;
    f.feed(cat({frame(0xD0, 2, 17, {0, 0, 0, 5, 0xDE, 0xAD, 0xBE, 0xEF}), header(0xD1, 0, 18, 0),
                frame(0xD0, 0, 19, {})}));
    ASSERT_EQ(f.out.size(), 3u);
    EXPECT_EQ(f.out[0].type, found_frame::read_answer);
    EXPECT_EQ(f.out[0].packet_id, 17);
    EXPECT_EQ(f.out[0].board, 2);
    EXPECT_EQ(f.out[0].words, (std::vector<unsigned int>{5, 0xDEADBEEF}));
    EXPECT_EQ(f.out[1].type, found_frame::write_answer);
    EXPECT_EQ(f.out[1].packet_id, 18);
    EXPECT_EQ(f.out[2].type, found_frame::read_answer);
    EXPECT_TRUE(f.out[2].words.empty());
    EXPECT_EQ(f.finder.kept_bytes(), 0u);
}

TEST(frame_finder, read_answer_split_over_chunks_is_found_only_when_whole) {
    const bytes answer = frame(0xD0, 0, 3, counting(40));
    fed f;
    f.feed(bytes(answer.begin(), answer.begin() + 20));
    EXPECT_TRUE(f.out.empty());
    f.feed(bytes(answer.begin() + 20, answer.end()));
    ASSERT_EQ(f.out.size(), 1u);
    EXPECT_EQ(f.out[0].words.size(), 10u);
    EXPECT_EQ(f.out[0].words[9], 0x25262728u);
}

TEST(frame_finder, short_tail_starting_a_header_is_kept_for_the_next_chunk) {
    const bytes h = header(0xD1, 0, 9, 0);
    for (size_t cut = 1; cut < 8; ++cut) {
        fed f;
        f.feed(cat({bytes(5, 0x00), bytes(h.begin(), h.begin() + cut)}));
        EXPECT_TRUE(f.out.empty());
        EXPECT_EQ(f.finder.kept_bytes(), cut) << cut;
        f.feed(bytes(h.begin() + cut, h.end()));
        ASSERT_EQ(f.out.size(), 1u) << cut;
        EXPECT_EQ(f.out[0].packet_id, 9);
    }
}

TEST(frame_finder, bytes_that_are_not_headers_are_skipped) {
    fed f;
    // Garbage, a false start AA EE followed by a byte outside D0-DF, an unused
    // code whose 8 header bytes are skipped (its announced payload is not).
    f.feed(cat({{0x13, 0xAA, 0x00, 0xAA, 0xEE, 0xC1, 0xFF},
                header(0xD8, 1, 2, 1000),
                header(0xD1, 0, 44, 0)}));
    ASSERT_EQ(f.out.size(), 1u);
    EXPECT_EQ(f.out[0].packet_id, 44);
}

TEST(frame_finder, length_is_24_bit_big_endian) {
    fed f;
    const bytes payload = counting(4 * 0x000102);
    f.feed(cat({header(0xD0, 0, 1, 0x000102), payload}));
    ASSERT_EQ(f.out.size(), 1u);
    EXPECT_EQ(f.out[0].words.size(), 258u);
}

TEST(frame_finder, split_spectrum_payload_is_handed_out_in_whole_records) {
    const bytes payload = counting(3 * record_1024);
    const bytes stream = frame(0xD2, 1, 0, payload);
    const size_t cut = 8 + record_1024 + record_1024 / 2;  // after 1.5 records
    fed f;
    f.feed(bytes(stream.begin(), stream.begin() + cut));
    ASSERT_EQ(f.out.size(), 1u);
    EXPECT_EQ(f.out[0].kind, data_kind::spectrum);
    EXPECT_EQ(f.out[0].board, 1);
    EXPECT_EQ(f.out[0].bytes, bytes(payload.begin(), payload.begin() + record_1024));
    EXPECT_EQ(f.finder.bytes_to_read(), 2 * record_1024);

    f.feed(bytes(stream.begin() + cut, stream.end()));
    ASSERT_EQ(f.out.size(), 2u);
    EXPECT_EQ(f.out[1].bytes, bytes(payload.begin() + record_1024, payload.end()));
    EXPECT_EQ(f.finder.bytes_to_read(), 0u);
    EXPECT_EQ(f.finder.kept_bytes(), 0u);
}

TEST(frame_finder, record_size_follows_the_depth) {
    for (unsigned short depth : {1024, 2048, 4096}) {
        const size_t record = 4 * (depth / 2 + 32);
        const bytes stream = frame(0xD6, 0, 0, counting(2 * record));
        fed f;
        f.feed_in_pieces(stream, 1460, depth);
        size_t total = 0;
        for (const auto& piece : f.out) {
            EXPECT_EQ(piece.kind, data_kind::map);
            EXPECT_EQ(piece.bytes.size() % record, 0u) << depth;
            total += piece.bytes.size();
        }
        EXPECT_EQ(total, 2 * record) << depth;
    }
}

TEST(frame_finder, waveform_payload_is_handed_out_in_whole_words) {
    const bytes payload = counting(4 * 1000);
    const bytes stream = cat({frame(0xD3, 0, 0, payload), header(0xD1, 0, 5, 0)});
    fed f;
    f.feed_in_pieces(stream, 1459);
    bytes joined;
    size_t answers = 0;
    for (const auto& piece : f.out) {
        if (piece.type == found_frame::write_answer) {
            ++answers;
            continue;
        }
        EXPECT_EQ(piece.kind, data_kind::waveform);
        EXPECT_EQ(piece.bytes.size() % 4, 0u);
        joined.insert(joined.end(), piece.bytes.begin(), piece.bytes.end());
    }
    EXPECT_EQ(joined, payload);
    EXPECT_EQ(answers, 1u);
}

TEST(frame_finder, list_payloads_are_handed_out_only_whole) {
    const bytes list = counting(8 * 300);
    const bytes list_wave = counting(8 * 20, 7);
    const bytes stream = cat({frame(0xD4, 3, 0, list), frame(0xD5, 3, 0, list_wave)});
    fed f;
    f.feed_in_pieces(stream, 1000);
    ASSERT_EQ(f.out.size(), 2u);
    EXPECT_EQ(f.out[0].kind, data_kind::list);
    EXPECT_EQ(f.out[0].bytes, list);
    EXPECT_EQ(f.out[1].kind, data_kind::list_wave);
    EXPECT_EQ(f.out[1].bytes, list_wave);
}

TEST(frame_finder, stream_fed_byte_by_byte_gives_the_same_frames) {
    const bytes stream = cat(
        {bytes(3, 0), frame(0xD0, 1, 1, counting(8)), frame(0xD2, 0, 0, counting(2 * record_1024)),
         bytes(5, 0), frame(0xD4, 2, 0, counting(16)), header(0xD1, 0, 2, 0), bytes(2920, 0)});
    fed whole, bytewise;
    whole.feed(stream);
    bytewise.feed_in_pieces(stream, 1);
    auto flatten = [](const std::vector<found_frame>& frames) {
        std::vector<std::pair<int, bytes>> v;
        bytes spectra;
        for (const auto& f : frames) {
            if (f.type == found_frame::data && f.kind == data_kind::spectrum)
                spectra.insert(spectra.end(), f.bytes.begin(), f.bytes.end());
            else
                v.emplace_back(f.type * 100 + f.packet_id, f.bytes);
        }
        v.emplace_back(-1, spectra);
        return v;
    };
    EXPECT_EQ(flatten(whole.out), flatten(bytewise.out));
    EXPECT_EQ(bytewise.finder.kept_bytes(), 0u);
}

TEST(frame_finder, reset_forgets_the_packet_in_progress) {
    const bytes stream = frame(0xD2, 0, 0, counting(2 * record_1024));
    fed f;
    f.feed(bytes(stream.begin(), stream.begin() + 100));
    f.finder.reset();
    EXPECT_EQ(f.finder.kept_bytes(), 0u);
    EXPECT_EQ(f.finder.bytes_to_read(), 0u);
    f.feed(header(0xD1, 0, 8, 0));
    ASSERT_EQ(f.out.size(), 1u);
    EXPECT_EQ(f.out[0].type, found_frame::write_answer);
}

}  // namespace
