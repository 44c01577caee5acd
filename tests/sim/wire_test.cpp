// Request parsing (with byte stuffing), board frame headers and the stripe
// rotation of the output stream.
#include "vxnsim/wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "requests.h"
#include "vxnsim/request_parser.h"
#include "vxnsim/stripe_stream.h"

namespace vxnsim {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Request> parse(const Bytes& bytes, RequestParser& parser) {
    std::vector<Request> out;
    parser.feed(bytes.data(), bytes.size(), out);
    return out;
}

Request reset_req() {
    Request r;
    r.kind = Request::Kind::reset;
    return r;
}

struct WellFormedCase {
    std::string name;
    Bytes bytes;
    std::vector<Request> expected;
};

TEST(RequestParser, DecodesWellFormedStreams) {
    const std::vector<WellFormedCase> cases = {
        {"read of 2 registers at 16 of board 1, packet id 0xDD",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x01, 0xDD, 0xDD, 0x10, 0x02, 0x00, 0xDD, 0x55},
         {read_req(1, 0xDD, 0x10, 2)}},
        {"write of 12 DD 34 56 to address 4 of board 0, packet id 7",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x00, 0x07, 0x04, 0x01, 0x00, 0x12, 0xDD, 0xDD, 0x34, 0x56,
          0xDD, 0x55},
         {write_req(0, 7, 4, {0x12DD3456})}},
        {"write without words",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x02, 0x09, 0x05, 0x00, 0x00, 0xDD, 0x55},
         {write_req(2, 9, 5, {})}},
        {"board, packet id, address and count all 0xDD",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0x00, 0xDD,
          0x55},
         {read_req(0xDD, 0xDD, 0xDD, 0xDD)}},
        {"AA and 55 inside the body are plain data",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0xAA, 0x55, 0x0B, 0x01, 0x00, 0xAA, 0x55, 0xAA, 0x55, 0xDD,
          0x55},
         {write_req(0xAA, 0x55, 0x0B, {0xAA55AA55})}},
        {"reset sequence", {0xDD, 0x55, 0xDD, 0xEE}, {reset_req()}},
        {"bytes between frames are ignored",
         {0x00, 0xAA, 0xEE, 0xD0, 0x12, 0xDD, 0x00, 0xDD, 0xDD, 0xDD, 0xAA,
          0xAA, 0xEE, 0xD0, 0x00, 0x01, 0x0E, 0x01, 0x00, 0xDD, 0x55, 0x77},
         {read_req(0, 1, 14, 1)}},
        {"reset right after a frame",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x00, 0x02, 0x00, 0x01, 0x00, 0xDD, 0x55, 0xDD, 0xEE},
         {read_req(0, 2, 0, 1), reset_req()}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RequestParser whole;
        EXPECT_EQ(parse(c.bytes, whole), c.expected);
        EXPECT_EQ(whole.malformed(), 0u);
        // The same bytes one at a time: frames split across reads.
        RequestParser split;
        std::vector<Request> got;
        for (uint8_t b : c.bytes) {
            split.feed(&b, 1, got);
        }
        EXPECT_EQ(got, c.expected);
    }
}

struct MalformedCase {
    std::string name;
    Bytes bytes;
    std::vector<Request> expected;  // what still gets through
};

TEST(RequestParser, CountsAndSkipsMalformedFramesAndRecovers) {
    const Bytes good = {0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x00, 0x05, 0x00, 0x01, 0x00, 0xDD, 0x55};
    const std::vector<MalformedCase> cases = {
        {"unknown command",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD5, 0x00, 0x01, 0x00, 0x01, 0x00, 0xDD, 0x55},
         {}},
        {"no AA EE packet start",
         {0xDD, 0xAA, 0xAB, 0xEE, 0xD0, 0x00, 0x01, 0x00, 0x01, 0x00, 0xDD, 0x55},
         {}},
        {"reserved byte not 0",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x00, 0x01, 0x00, 0x01, 0x07, 0xDD, 0x55},
         {}},
        {"read with trailing bytes",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xDD, 0x55},
         {}},
        {"write shorter than its count",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x00, 0x01, 0x04, 0x02, 0x00, 1, 2, 3, 4, 0xDD, 0x55},
         {}},
        {"header cut short", {0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x00, 0xDD, 0x55}, {}},
        {"escape followed by an unknown byte",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x00, 0xDD, 0x12, 0x01, 0x00, 0xDD, 0x55},
         {}},
        {"frame cut by the next start marker",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x00, 0x01, 0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x00, 0x09, 0x00,
          0x01, 0x00, 0xDD, 0x55},
         {read_req(0, 9, 0, 1)}},
        {"frame closed by a reset",
         {0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x00, 0x01, 0x04, 0xDD, 0x55, 0xDD, 0xEE},
         {reset_req()}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RequestParser parser;
        Bytes bytes = c.bytes;
        bytes.insert(bytes.end(), good.begin(), good.end());
        std::vector<Request> expected = c.expected;
        expected.push_back(read_req(0, 5, 0, 1));
        EXPECT_EQ(parse(bytes, parser), expected);
        EXPECT_EQ(parser.malformed(), 1u);
        EXPECT_FALSE(parser.last_problem().empty());
    }
}

TEST(RequestParser, EndlessFrameIsRefusedAndParsingGoesOn) {
    RequestParser parser;
    Bytes bytes = {0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x00, 0x01, 0x04, 0xFF, 0x00};
    bytes.insert(bytes.end(), 5000, 0x11);
    const Bytes good = {0xDD, 0xAA, 0xAA, 0xEE, 0xD0, 0x00, 0x05, 0x00, 0x01, 0x00, 0xDD, 0x55};
    bytes.insert(bytes.end(), good.begin(), good.end());
    EXPECT_EQ(parse(bytes, parser), std::vector<Request>{read_req(0, 5, 0, 1)});
    EXPECT_EQ(parser.malformed(), 1u);
}

TEST(RequestParser, LargestWriteIsAccepted) {
    RequestParser parser;
    std::vector<uint32_t> words(255);
    Bytes bytes = {0xDD, 0xAA, 0xAA, 0xEE, 0xD1, 0x00, 0x01, 0x00, 0xFF, 0x00};
    for (unsigned i = 0; i < 255; ++i) {
        words[i] = 0xDDDDDDDD;
        bytes.insert(bytes.end(), 8, 0xDD);
    }
    bytes.push_back(0xDD);
    bytes.push_back(0x55);
    EXPECT_EQ(parse(bytes, parser), std::vector<Request>{write_req(0, 1, 0, words)});
    EXPECT_EQ(parser.malformed(), 0u);
}

TEST(BoardFrame, HeaderCarriesA24BitWordCount) {
    uint8_t h[8];
    wire::encode_header(h, 0xD6, 3, 0x21, 258);
    EXPECT_EQ(Bytes(h, h + 8), (Bytes{0xAA, 0xEE, 0xD6, 0x03, 0x21, 0x00, 0x01, 0x02}));
    wire::encode_header(h, 0xD4, 0, 0, 0xFFFFFF);
    EXPECT_EQ(Bytes(h + 5, h + 8), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_THROW(wire::encode_header(h, 0xD4, 0, 0, 0x1000000), std::length_error);
}

TEST(BoardFrame, AnswersAreHeaderPlusBigEndianWords) {
    EXPECT_EQ(wire::make_frame(0xD1, 2, 0x33, {}),
              (Bytes{0xAA, 0xEE, 0xD1, 0x02, 0x33, 0x00, 0x00, 0x00}));
    EXPECT_EQ(wire::make_frame(0xD0, 0, 5, {0x00040201, 0x0000001F}),
              (Bytes{0xAA, 0xEE, 0xD0, 0x00, 0x05, 0x00, 0x00, 0x02, 0x00, 0x04, 0x02, 0x01, 0x00,
                     0x00, 0x00, 0x1F}));
    EXPECT_THROW(wire::make_frame_bytes(0xD4, 0, 0, Bytes(6)), std::invalid_argument);
}

TEST(BoardFrame, HeaderNeedsHighNibbleD) {
    const Bytes yes = {0xAA, 0xEE, 0xDF};
    const Bytes no1 = {0xAA, 0xEE, 0xC0};
    const Bytes no2 = {0xAA, 0xEF, 0xD0};
    EXPECT_TRUE(wire::is_header_at(yes.data()));
    EXPECT_FALSE(wire::is_header_at(no1.data()));
    EXPECT_FALSE(wire::is_header_at(no2.data()));
}

Bytes outbox_bytes(StripeStream& s, unsigned port) {
    Outbox& o = s.outbox(port);
    return Bytes(o.data(), o.data() + o.size());
}

TEST(StripeStream, RotatesStripesOverTheFourPorts) {
    StripeStream s;
    Bytes data(5 * wire::kStripeSize + 100);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    s.append(data.data(), data.size());
    EXPECT_EQ(s.stripes_completed(), 5u);
    EXPECT_EQ(s.port(), 1u);
    EXPECT_EQ(s.fill(), 100u);
    s.pad();
    EXPECT_EQ(s.fill(), 0u);
    EXPECT_EQ(s.port(), 2u);
    // Port 0 got stripes 0 and 4, port 1 stripe 1 and the padded sixth.
    Bytes p0 = outbox_bytes(s, 0);
    ASSERT_EQ(p0.size(), 2 * wire::kStripeSize);
    EXPECT_TRUE(std::equal(p0.begin(), p0.begin() + wire::kStripeSize, data.begin()));
    EXPECT_TRUE(
        std::equal(p0.begin() + wire::kStripeSize, p0.end(), data.begin() + 4 * wire::kStripeSize));
    Bytes p1 = outbox_bytes(s, 1);
    ASSERT_EQ(p1.size(), 2 * wire::kStripeSize);
    EXPECT_TRUE(std::equal(p1.begin() + wire::kStripeSize, p1.begin() + wire::kStripeSize + 100,
                           data.begin() + 5 * wire::kStripeSize));
    EXPECT_TRUE(std::all_of(p1.begin() + wire::kStripeSize + 100, p1.end(),
                            [](uint8_t b) { return b == StripeStream::kPadding; }));
    EXPECT_EQ(s.pending_bytes(), 6 * wire::kStripeSize);
}

TEST(StripeStream, PaddingHelpers) {
    StripeStream s;
    s.pad();  // nothing started: nothing to complete
    EXPECT_EQ(s.stripes_completed(), 0u);
    s.pad_full_stripe();  // a whole stripe of padding
    EXPECT_EQ(s.stripes_completed(), 1u);
    const uint8_t b = 0x42;
    s.append(&b, 1);
    s.pad_full_stripe();  // completes the current one, then one more
    EXPECT_EQ(s.stripes_completed(), 3u);
    EXPECT_EQ(s.port(), 3u);
    s.pad_to(wire::kStripeSize - 3);
    EXPECT_EQ(s.fill(), wire::kStripeSize - 3);
    s.pad_to(10);  // never backwards
    EXPECT_EQ(s.fill(), wire::kStripeSize - 3);
    s.reset();
    EXPECT_EQ(s.port(), 0u);
    EXPECT_EQ(s.fill(), 0u);
    EXPECT_EQ(s.pending_bytes(), 0u);
}

TEST(StripeStream, OutboxHandsOverInOrder) {
    StripeStream s;
    Bytes data(wire::kStripeSize);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    s.append(data.data(), 1000);
    Outbox& o = s.outbox(0);
    Bytes sending = {0x77};  // what an earlier hand-over left: replaced
    o.take(sending);
    EXPECT_EQ(sending, Bytes(data.begin(), data.begin() + 1000));
    EXPECT_TRUE(o.empty());
    EXPECT_EQ(s.pending_bytes(), 0u);
    // The rest of the stripe lands in the outbox, not in the bytes handed over.
    const uint8_t* handed = sending.data();
    s.append(data.data() + 1000, data.size() - 1000);
    EXPECT_EQ(sending.data(), handed);
    EXPECT_EQ(sending, Bytes(data.begin(), data.begin() + 1000));
    ASSERT_EQ(o.size(), wire::kStripeSize - 1000);
    EXPECT_EQ(o.data()[0], static_cast<uint8_t>(1000));
    Bytes next;
    o.take(next);
    EXPECT_EQ(next, Bytes(data.begin() + 1000, data.end()));
    EXPECT_TRUE(o.empty());
    EXPECT_EQ(s.port(), 1u);
}

}  // namespace
}  // namespace vxnsim
