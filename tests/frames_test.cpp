#include "frames.h"

#include <gtest/gtest.h>

namespace {

using bytes = std::vector<uint8_t>;

TEST(frames, read_request_is_stuffed_after_the_command_byte) {
    EXPECT_EQ(build_read_frame(1, 16, 2, 0xDD), (bytes{0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x01, 0xDD,
                                                       0xDD, 0x10, 0x02, 0x00, 0xDD, 0x55}));
}

TEST(frames, write_request_carries_its_words_most_significant_byte_first) {
    EXPECT_EQ(build_write_frame(0, 4, {0x12DD3456}, 7),
              (bytes{0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x00, 0x07, 0x04, 0x01, 0x00, 0x12, 0xDD, 0xDD,
                     0x34, 0x56, 0xDD, 0x55}));
    EXPECT_EQ(build_write_frame(2, 3, {}, 9),
              (bytes{0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x02, 0x09, 0x03, 0x00, 0x00, 0xDD, 0x55}));
}

TEST(frames, every_body_byte_0xDD_is_doubled_and_nothing_else_changes) {
    // Board, packet id, address and count all 0xDD; data bytes AA and 55 stay.
    std::vector<unsigned int> words(0xDD, 0xAA55AA55);
    const bytes frame = build_write_frame(0xDD, 0xDD, words, 0xDD);
    const bytes head{0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0xDD, 0xDD,
                     0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0x00};
    ASSERT_EQ(frame.size(), head.size() + 4 * words.size() + 2);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), frame.begin()));
    for (size_t k = head.size(); k < frame.size() - 2; k += 4)
        EXPECT_EQ(bytes(frame.begin() + k, frame.begin() + k + 4), (bytes{0xAA, 0x55, 0xAA, 0x55}));
    EXPECT_EQ(frame[frame.size() - 2], 0xDD);
    EXPECT_EQ(frame.back(), 0x55);
}

TEST(frames, arguments_are_cut_to_their_low_byte) {
    const bytes frame = build_read_frame(0x0102, 0x0304, 0x0506, 1);
    EXPECT_EQ(frame,
              (bytes{0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x02, 0x01, 0x04, 0x06, 0x00, 0xDD, 0x55}));
}

TEST(frames, reset_sequence) {
    EXPECT_EQ(build_reset_frame(), (bytes{0xDD, 0x55, 0xDD, 0xEE}));
}

}  // namespace
