// A board's registers and flash, and how a chain routes and answers requests.
#include "vxnsim/board.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "requests.h"
#include "vxnsim/chain_model.h"
#include "vxnsim/nor_flash.h"
#include "vxnsim/wire.h"

namespace vxnsim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kWren = 0x06000000;

TEST(NorFlash, ProgramAndEraseNeedWriteEnable) {
    NorFlash f(1u << 20);
    const uint32_t data[2] = {0x01234567, 0x89ABCDEF};
    EXPECT_FALSE(f.execute(0x02000100, data, 2));
    EXPECT_FALSE(f.execute(0xD8000000, nullptr, 0));
    EXPECT_EQ(f.read(0x100, 8), Bytes(8, 0xFF));
    EXPECT_TRUE(f.execute(kWren, nullptr, 0));
    EXPECT_TRUE(f.write_enabled());
    EXPECT_TRUE(f.execute(0x02000100, data, 2));
    EXPECT_FALSE(f.write_enabled());  // cleared by the program, like the real part
    EXPECT_EQ(f.read(0x100, 8), (Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
    EXPECT_FALSE(f.execute(0x02000100, data, 2));  // needs a new write enable
}

TEST(NorFlash, ProgrammingOnlyClearsBits) {
    NorFlash f(1u << 20);
    const uint32_t first = 0xF0F0FFFF;
    const uint32_t second = 0xFF00F0F0;
    f.execute(kWren, nullptr, 0);
    f.execute(0x02000200, &first, 1);
    f.execute(kWren, nullptr, 0);
    f.execute(0x02000200, &second, 1);
    EXPECT_EQ(f.read(0x200, 4), (Bytes{0xF0, 0x00, 0xF0, 0xF0}));
}

TEST(NorFlash, SectorEraseRestoresOneSector) {
    NorFlash f(1u << 20);
    const uint32_t zero = 0;
    for (uint32_t at : {0x00FFFCu, 0x010000u, 0x01FFFCu, 0x020000u}) {
        f.execute(kWren, nullptr, 0);
        f.execute(0x02000000 | at, &zero, 1);
    }
    f.execute(kWren, nullptr, 0);
    EXPECT_TRUE(f.execute(0xD8010000 + 0x1234, nullptr, 0));  // any address inside the sector
    EXPECT_EQ(f.read(0x00FFFC, 4), Bytes(4, 0x00));
    EXPECT_EQ(f.read(0x010000, 4), Bytes(4, 0xFF));
    EXPECT_EQ(f.read(0x01FFFC, 4), Bytes(4, 0xFF));
    EXPECT_EQ(f.read(0x020000, 4), Bytes(4, 0x00));
}

TEST(NorFlash, PageProgramWrapsInsideItsPageAndTakesAtMost256Bytes) {
    NorFlash f(1u << 20);
    std::vector<uint32_t> words(70, 0x11111111);
    words[0] = 0xA0A1A2A3;
    words[1] = 0xB0B1B2B3;
    f.execute(kWren, nullptr, 0);
    f.execute(0x020001FC, words.data(), 2);
    EXPECT_EQ(f.read(0x1FC, 4), (Bytes{0xA0, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(f.read(0x100, 4), (Bytes{0xB0, 0xB1, 0xB2, 0xB3}));
    EXPECT_EQ(f.read(0x200, 4), Bytes(4, 0xFF));
    f.execute(kWren, nullptr, 0);
    f.execute(0x02000400, words.data(), words.size());
    EXPECT_EQ(f.read(0x4FC, 4), Bytes(4, 0x11));
    EXPECT_EQ(f.read(0x500, 4), Bytes(4, 0xFF));  // words past the page are not programmed
}

TEST(NorFlash, ReadCommandFetchesABigEndianWord) {
    NorFlash f(1u << 20);
    const uint32_t w = 0xCAFEBABE;
    f.execute(kWren, nullptr, 0);
    f.execute(0x02000010, &w, 1);
    EXPECT_TRUE(f.execute(0x03000010, nullptr, 0));
    EXPECT_EQ(f.data_register(), 0xCAFEBABEu);
    EXPECT_TRUE(f.execute(0x03000012, nullptr, 0));
    EXPECT_EQ(f.data_register(), 0xBABEFFFFu);
    EXPECT_FALSE(f.execute(0x9F000000, nullptr, 0));  // unknown opcode
}

TEST(NorFlash, WholeContentsAndSize) {
    NorFlash f;
    EXPECT_EQ(f.size(), 4u << 20);
    EXPECT_EQ(f.read(0, f.size()), Bytes(4u << 20, 0xFF));
    EXPECT_EQ(f.read(f.size() - 2, 10).size(), 2u);
    EXPECT_TRUE(f.read(f.size(), 1).empty());
}

TEST(Board, ParameterWindowCommitsOnTheStrobe) {
    Board b(0x00040201, 1);
    b.write(reg::kParamIndex, {16, 0x028757B2});
    EXPECT_TRUE(b.param_commits().empty());
    b.write(reg::kParamStrobe, {1});
    b.write(reg::kParamIndex, {128, 5, 1});  // all three in one write
    const std::vector<ParamCommit> expected = {{16, 0x028757B2}, {128, 5}};
    EXPECT_EQ(b.param_commits(), expected);
    EXPECT_EQ(b.params().at(128), 5u);
}

TEST(Board, ReadOnlyRegistersKeepTheirValues) {
    Board b(0x00040201, 0x1F);
    b.write(reg::kFwRelease, {0});
    b.write(reg::kLinkStatus, {0});
    b.write(reg::kFlashData, {0});
    EXPECT_EQ(b.read(reg::kFwRelease), 0x00040201u);
    EXPECT_EQ(b.read(reg::kLinkStatus), 0x1Fu);
    EXPECT_EQ(b.read(reg::kFlashData), 0xFFFFFFFFu);
    b.poke(reg::kFwRelease, 0x00030105);
    EXPECT_EQ(b.read(reg::kFwRelease), 0x00030105u);
    b.write(250, {1, 2, 3, 4, 5, 6, 7, 8});  // past the last register: dropped
    EXPECT_EQ(b.read(255), 6u);
    EXPECT_EQ(b.read(256), 0u);
}

TEST(Board, AcquisitionControlCommandsAndRunningBit) {
    Board b(0x00040201, 1);
    EXPECT_EQ(b.write(reg::kAcqControl, {(0xF0u & ~3u) | 1u}), Board::Command::start);
    EXPECT_EQ(b.write(reg::kAcqControl, {2}), Board::Command::stop);
    EXPECT_EQ(b.write(reg::kAcqControl, {0}), Board::Command::none);
    EXPECT_EQ(b.write(reg::kAcqControl, {3}), Board::Command::none);
    b.write(reg::kAcqControl, {reg::kRunningBit});  // a host cannot set it
    EXPECT_EQ(b.read(reg::kAcqControl) & reg::kRunningBit, 0u);
    b.set_running(true);
    EXPECT_EQ(b.read(reg::kAcqControl) & reg::kRunningBit, reg::kRunningBit);
}

TEST(Board, NetworkStrobeCommitsTheLastDataWord) {
    Board b(0x00040201, 1);
    b.write(reg::kNetConfigData, {0x0100A8C0});
    b.write(reg::kNetConfigStrobe, {1});
    b.write(reg::kNetConfigData, {0x00FFFFFF});
    b.write(reg::kNetConfigData, {0x00585602});
    b.write(reg::kNetConfigStrobe, {1});
    EXPECT_EQ(b.net_words(), (std::vector<uint32_t>{0x0100A8C0, 0x00585602}));
}

TEST(Board, FlashCommandTakesTheRestOfTheWriteAsData) {
    Board b(0x00040201, 1, 1u << 20);
    std::vector<uint32_t> page(65, 0x5A5A5A5A);
    page[0] = 0x02000300;
    b.write(reg::kFlashCommand, {0x06000000});
    b.write(reg::kFlashCommand, page);
    b.write(reg::kFlashCommand, {0x03000300});
    EXPECT_EQ(b.read(reg::kFlashData), 0x5A5A5A5Au);
    EXPECT_EQ(b.flash().read(0x300, 256), Bytes(256, 0x5A));
    EXPECT_EQ(b.read(reg::kFlashData + 1), 0u);  // data words did not land in registers
    b.write(reg::kFlashCommand, page);           // without write enable
    EXPECT_EQ(b.refused_flash_commands(), 1u);
}

TEST(LinkStatus, DescribesWhatFollowsEachBoard) {
    struct Case {
        unsigned index, boards;
        bool followed_by_master;
        uint32_t expected;
    };
    const Case cases[] = {
        {0, 1, false, 0x01}, {0, 3, false, 0x1F}, {1, 3, false, 0x1F},
        {2, 3, false, 0x03}, {0, 1, true, 0x4D},  {2, 3, true, 0x4F},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.index) + " of " + std::to_string(c.boards));
        const uint32_t s = link_status_for(c.index, c.boards, c.followed_by_master);
        EXPECT_EQ(s, c.expected);
        // What discovery tests: bits 2 and 3 both set means "go on", bit 6 "stop there".
        const bool next = (s & 0xC) == 0xC && !(s & 0x40);
        EXPECT_EQ(next, c.index + 1 < c.boards);
    }
}

ChainOptions chain_of(unsigned boards) {
    ChainOptions o;
    o.boards = boards;
    o.flash_size = 1u << 16;
    return o;
}

TEST(ChainModel, ReadIsAnsweredByTheAddressedBoard) {
    ChainModel m(chain_of(3));
    const auto out = m.handle(read_req(2, 0x77, reg::kFwRelease, 2));
    ASSERT_TRUE(out.answer);
    EXPECT_EQ(*out.answer, wire::make_frame(wire::kRead, 2, 0x77, {0x00040201, 0}));
    const auto none = m.handle(read_req(1, 1, 0, 0));
    EXPECT_EQ(*none.answer, wire::make_frame(wire::kRead, 1, 1, {}));
}

TEST(ChainModel, WriteIsAppliedAndAcknowledgedWithoutPayload) {
    ChainModel m(chain_of(2));
    const auto out = m.handle(write_req(1, 0x10, reg::kAcqTime, {2500, 0, 7}));
    EXPECT_EQ(*out.answer, wire::make_frame(wire::kWrite, 1, 0x10, {}));
    EXPECT_EQ(m.board(1).read(reg::kAcqTime), 2500u);
    EXPECT_EQ(m.board(1).read(reg::kModeConfig), 7u);
    EXPECT_EQ(m.board(0).read(reg::kAcqTime), 0u);
}

TEST(ChainModel, BroadcastWriteReachesEveryBoardAndTheLastAnswers) {
    ChainModel m(chain_of(3));
    ASSERT_EQ(m.broadcast_address(), 162);
    const auto out = m.handle(write_req(162, 0x20, reg::kTimePerSpectrum, {100}));
    EXPECT_EQ(*out.answer, wire::make_frame(wire::kWrite, 2, 0x20, {}));
    for (unsigned b = 0; b < 3; ++b) {
        EXPECT_EQ(m.board(b).read(reg::kTimePerSpectrum), 100u);
    }
    EXPECT_FALSE(m.handle(read_req(162, 0x21, 0, 1)).answer);
}

TEST(ChainModel, NobodyAnswersForABoardThatIsNotThere) {
    ChainModel m(chain_of(2));
    EXPECT_FALSE(m.handle(read_req(2, 1, 0, 1)).answer);
    EXPECT_FALSE(m.handle(write_req(2, 2, reg::kAcqTime, {1})).answer);  // just past the end
    EXPECT_FALSE(
        m.handle(write_req(160, 3, reg::kAcqTime, {1})).answer);  // another chain's broadcast
    EXPECT_EQ(m.board(1).read(reg::kAcqTime), 0u);
    // 159 + 97 does not fit the board byte: long chains have no broadcast.
    EXPECT_FALSE(ChainModel(chain_of(97)).broadcast_address());
    EXPECT_EQ(ChainModel(chain_of(96)).broadcast_address(), 255);
}

TEST(ChainModel, OnlyTheMastersAcquisitionControlStartsAndStops) {
    ChainModel m(chain_of(2));
    EXPECT_EQ(m.handle(write_req(1, 1, reg::kAcqControl, {1})).command, Board::Command::none);
    EXPECT_EQ(m.handle(write_req(0, 2, reg::kAcqControl, {1})).command, Board::Command::start);
    EXPECT_EQ(m.handle(write_req(161, 3, reg::kAcqControl, {2})).command, Board::Command::stop);
    Request reset;
    reset.kind = Request::Kind::reset;
    const auto out = m.handle(reset);
    EXPECT_TRUE(out.reset);
    EXPECT_FALSE(out.answer);
}

TEST(ChainModel, SilentBoardsNeitherExecuteNorAnswer) {
    ChainModel m(chain_of(2));
    m.silence = Silence::slaves_only;
    EXPECT_TRUE(m.handle(read_req(0, 1, 0, 1)).answer);
    EXPECT_FALSE(m.handle(read_req(1, 2, 0, 1)).answer);
    EXPECT_FALSE(m.handle(write_req(1, 3, reg::kAcqTime, {9})).answer);
    EXPECT_FALSE(
        m.handle(write_req(161, 4, reg::kAcqTime, {5})).answer);  // the last board is silent
    EXPECT_EQ(m.board(0).read(reg::kAcqTime), 5u);
    EXPECT_EQ(m.board(1).read(reg::kAcqTime), 0u);
    m.silence = Silence::all_boards;
    EXPECT_FALSE(m.handle(read_req(0, 5, 0, 1)).answer);
    m.silence = Silence::none;
    EXPECT_TRUE(m.handle(read_req(1, 6, 0, 1)).answer);
}

TEST(ChainModel, RefusedWriteIsAnsweredWithAReadFrameCarryingTheWord) {
    ChainModel m(chain_of(2));
    m.write_answer_word = 0;
    const auto out = m.handle(write_req(0, 0x31, reg::kAcqTime, {1000}));
    EXPECT_EQ(*out.answer, wire::make_frame(wire::kRead, 0, 0x31, {0}));
    EXPECT_EQ(m.board(0).read(reg::kAcqTime), 0u);  // refused, not applied
    m.write_answer_word = 0xDEAD;
    EXPECT_EQ(*m.handle(write_req(161, 0x32, reg::kAcqTime, {1})).answer,
              wire::make_frame(wire::kRead, 1, 0x32, {0xDEAD}));
    // Reads are not affected.
    EXPECT_EQ(*m.handle(read_req(0, 0x33, reg::kAcqTime, 1)).answer,
              wire::make_frame(wire::kRead, 0, 0x33, {0}));
}

}  // namespace
}  // namespace vxnsim
