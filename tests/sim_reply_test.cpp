// Reply frames of the simulated power system, INFO checked byte for byte.
#include <gtest/gtest.h>

#include "hex.h"
#include "responder.h"

using namespace vx42b_sim;

namespace {

// 1.0 = 0000803F, 2.0 = 00000040, 0.5 = 0000003F, 10.0 = 00002041,
// 50.0 = 00004842, 53.5 = 00005642 (little-endian IEEE-754).
Scenario SmallSystem()
{
    Scenario sc;
    PowerSystem& s = sc.system;
    AcChannel ch;
    ch.a = 1.0f;
    ch.b = 2.0f;
    ch.c = 0.5f;
    ch.f = 50.0f;
    ch.aState = 2;
    ch.fState = 1;
    ch.userStates = {5, 0, 0, 0xE1};
    AcUnit ac;
    ac.channels = {ch};
    ac.ia = 10.0f;
    ac.ib = FloatFromBits(0x20202020);
    ac.userSwitch = {1, 2};
    ac.ibState = 1;
    s.ac = {ac};

    s.rc.groupValue = 53.5f;
    RcModule m;
    m.value = 1.0f;
    m.user = {2.0f, 0, 0, 0};
    m.switchState = {1, 0, 2};
    m.userSwitch = {0, 0, 0, 0, 9};
    m.fault = 1;
    m.userStates = {0, 0, 0, 0, 0, 5};
    s.rc.modules = {m};

    DcUnit dc;
    dc.v = 53.5f;
    dc.i = 10.0f;
    dc.batteryI = {1.0f, 2.0f};
    dc.user = {0.5f};
    dc.vState = 2;
    dc.fuseState[3] = 3;
    dc.userStates = {7};
    s.dc = {dc};

    s.params.ac = {1.0f, 2.0f, 0.5f, 50.0f, 10.0f};
    s.params.dc = {53.5f, 1.0f};
    s.params.dcUser = {2.0f};
    sc.seed = 1;
    return sc;
}

ParsedFrame Ask(Responder& r, uint8_t cid1, uint8_t cid2, const Bytes& info = {})
{
    return ParseFrame(r.Respond(CommandFrame(0x20, 1, cid1, cid2, info)));
}

}  // namespace

TEST(SimReply, EachCommandCarriesTheExpectedInfo)
{
    struct Case {
        uint8_t cid1, cid2;
        Bytes command;
        const char* info;
    };
    // In this order every status reply sees the flags left by the ones before.
    const Case cases[] = {
        {0x40, 0x51, {}, "56 58 34 32 42 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20"},
        {0x40, 0x41, {0xFF}, "11 01  01 0000803F 00000040 0000003F 00004842 00  00002041 20202020 00000000"},
        {0x40, 0x43, {0xFF}, "01 01  00 02 01 02"},
        {0x40, 0x44, {0xFF}, "00 01  01 02 00 00 01 00 04 05 00 00 E1  00 01 00"},
        {0x40, 0x41, {0xFF}, "00 01  01 0000803F 00000040 0000003F 00004842 00  00002041 20202020 00000000"},
        {0x41, 0x41, {}, "11 00005642 01  0000803F 04 00000040 00000000 00000000 00000000"},
        {0x41, 0x43, {}, "01 01  01 00 02 05 00 00 00 00 09"},
        {0x41, 0x44, {}, "00 01  01 06 00 00 00 00 00 05"},
        {0x42, 0x41, {}, "01 01  00005642 00002041 02 0000803F 00000040 00 01 0000003F"},
        {0x42, 0x44, {0xFF}, "00 01  02 0A 00 00 00 03 00 00 00 00 00 00 01 07"},
        {0x42, 0x41, {0xFF}, "00 01  00005642 00002041 02 0000803F 00000040 00 01 0000003F"},
        {0x40, 0x46, {}, "0000803F 00000040 0000003F 00004842 00002041 00"},
        {0x42, 0x46, {}, "00005642 0000803F 01 00000040"},
    };
    Responder r(SmallSystem());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.cid1) << "/" << int(c.cid2));
        const ParsedFrame reply = Ask(r, c.cid1, c.cid2, c.command);
        ASSERT_TRUE(reply.complete);
        ASSERT_EQ(reply.error, yd1363::Error::None);
        EXPECT_EQ(reply.ver, 0x20);
        EXPECT_EQ(reply.adr, 1);
        EXPECT_EQ(reply.cid1, c.cid1);
        EXPECT_EQ(reply.cid2, kRtnOk);
        EXPECT_EQ(reply.info, Hex(c.info));
    }
    EXPECT_EQ(r.GetCounters().commands, 13u);
    EXPECT_EQ(r.GetCounters().replies, 13u);
    EXPECT_EQ(r.GetCounters().rounds, 2u);
}

TEST(SimReply, HeaderCarriesTheSystemsVersionAndAddress)
{
    Scenario sc = SmallSystem();
    sc.system.version = 0x21;
    sc.system.address = 0x17;
    Responder r(sc);
    const ParsedFrame reply = ParseFrame(r.Respond(CommandFrame(0x20, 0x17, 0x42, 0x46)));
    EXPECT_EQ(reply.ver, 0x21);
    EXPECT_EQ(reply.adr, 0x17);
    EXPECT_EQ(reply.cid2, kRtnOk);
}

TEST(SimReply, CommandsThatCannotBeServed)
{
    Responder r(SmallSystem());
    EXPECT_EQ(r.Respond(CommandFrame(0x20, 2, 0x40, 0x51)), "");  // another address
    EXPECT_EQ(r.Respond("~20ZZ4051"), "");                        // no readable address

    std::string badSum = CommandFrame(0x20, 1, 0x40, 0x51);
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    EXPECT_EQ(ParseFrame(r.Respond(badSum)).cid2, kRtnChecksum);

    std::string badLength = CommandFrame(0x20, 1, 0x40, 0x41, {0xFF});
    badLength[9] = badLength[9] == '0' ? '1' : '0';  // LCHKSUM
    EXPECT_EQ(ParseFrame(r.Respond(badLength)).cid2, kRtnLengthChecksum);

    const ParsedFrame unknown = Ask(r, 0x40, 0x47);
    EXPECT_EQ(unknown.cid1, 0x40);
    EXPECT_EQ(unknown.cid2, kRtnCid2);
    EXPECT_TRUE(unknown.info.empty());
    EXPECT_EQ(Ask(r, 0x42, 0x43).cid2, kRtnCid2);  // the DC switch status is not kept
    EXPECT_EQ(Ask(r, 0x40, 0x41, {0x01}).cid2, kRtnFormat);
    EXPECT_EQ(r.Round(), 0);  // refused commands open no round

    // Noise around a frame is skipped as on the line.
    EXPECT_EQ(ParseFrame(r.Respond("xx" + CommandFrame(0x20, 1, 0x40, 0x51) + "yy")).info.size(), kModelBytes);
}

TEST(SimReply, DataFlagTracksChangesSinceTheLastStatusRead)
{
    Responder r(SmallSystem());
    // Everything counts as changed until it has been read once.
    EXPECT_EQ(Ask(r, 0x40, 0x41, {0xFF}).info[0], 0x11);
    EXPECT_EQ(Ask(r, 0x40, 0x43, {0xFF}).info[0], 0x01);
    EXPECT_EQ(Ask(r, 0x40, 0x41, {0xFF}).info[0], 0x01);
    Ask(r, 0x40, 0x44, {0xFF});
    EXPECT_EQ(Ask(r, 0x40, 0x41, {0xFF}).info[0], 0x00);

    r.System().ac[0].userSwitch[1] = 7;
    EXPECT_EQ(Ask(r, 0x40, 0x41, {0xFF}).info[0], 0x10);
    r.System().ac[0].channels[0].userStates[2] = 5;
    EXPECT_EQ(Ask(r, 0x40, 0x41, {0xFF}).info[0], 0x11);
    // Changing a value back before it was read leaves nothing to report.
    r.System().ac[0].userSwitch[1] = 2;
    EXPECT_EQ(Ask(r, 0x40, 0x41, {0xFF}).info[0], 0x01);
    // Analog values never set a flag.
    r.System().ac[0].ia = 99.0f;
    EXPECT_EQ(Ask(r, 0x40, 0x41, {0xFF}).info[0], 0x01);

    // The rectifier and DC parts keep their own flags.
    EXPECT_EQ(Ask(r, 0x41, 0x41).info[0], 0x11);
    Ask(r, 0x41, 0x44);
    EXPECT_EQ(Ask(r, 0x41, 0x41).info[0], 0x10);
    r.System().rc.modules[0].fault = 0;
    EXPECT_EQ(Ask(r, 0x41, 0x41).info[0], 0x11);

    EXPECT_EQ(Ask(r, 0x42, 0x41).info[0], 0x01);
    Ask(r, 0x42, 0x44);
    EXPECT_EQ(Ask(r, 0x42, 0x41).info[0], 0x00);
    r.System().dc[0].fuseState[3] = 0;  // the fuse fault clears
    EXPECT_EQ(Ask(r, 0x42, 0x41).info[0], 0x01);
    EXPECT_EQ(r.DataFlag(0x40), 0x01);
}

TEST(SimReply, FaultyStatusReplyDoesNotCountAsRead)
{
    Responder r(SmallSystem());
    r.InjectOnce(0x42, 0x44, Fault::BadChecksum);
    Ask(r, 0x42, 0x44);
    EXPECT_EQ(r.DataFlag(0x42), 0x01);
    Ask(r, 0x42, 0x44);
    EXPECT_EQ(r.DataFlag(0x42), 0x00);
}
