// Injected faults: one-shot for tests, and rates for the program.
#include <gtest/gtest.h>

#include "responder.h"

using namespace vx42b_sim;

namespace {

Scenario OneDcUnit()
{
    Scenario sc;
    sc.system.dc.resize(1);
    sc.system.ac.resize(1);
    sc.system.ac[0].channels.resize(1);
    sc.seed = 7;
    return sc;
}

std::string AskDc(Responder& r) { return r.Respond(CommandFrame(0x20, 1, 0x42, 0x41)); }

}  // namespace

TEST(SimFault, EachFaultSpoilsOneReplyAsDescribed)
{
    Responder clean(OneDcUnit());
    const std::string good = AskDc(clean);
    const ParsedFrame goodReply = ParseFrame(good);
    ASSERT_EQ(goodReply.error, yd1363::Error::None);

    struct Case {
        Fault fault;
        void (*check)(const std::string& reply, const ParsedFrame& good);
    };
    const Case cases[] = {
        {Fault::NoReply, [](const std::string& reply, const ParsedFrame&) { EXPECT_EQ(reply, ""); }},
        {Fault::BadChecksum,
         [](const std::string& reply, const ParsedFrame&) {
             EXPECT_EQ(ParseFrame(reply).error, yd1363::Error::BadChecksum);
         }},
        {Fault::BadRtn,
         [](const std::string& reply, const ParsedFrame&) {
             const ParsedFrame f = ParseFrame(reply);
             EXPECT_EQ(f.cid2, kFaultRtn);
             EXPECT_TRUE(f.info.empty());
         }},
        {Fault::WrongCount,
         [](const std::string& reply, const ParsedFrame& g) {
             Bytes expected = g.info;
             expected[1] = 2;
             EXPECT_EQ(ParseFrame(reply).info, expected);
         }},
        {Fault::WrongCid1,
         [](const std::string& reply, const ParsedFrame& g) {
             const ParsedFrame f = ParseFrame(reply);
             EXPECT_EQ(f.cid1, 0x40);
             EXPECT_EQ(f.info, g.info);
         }},
        {Fault::CutFrame,
         [](const std::string& reply, const ParsedFrame&) {
             EXPECT_FALSE(ParseFrame(reply).complete);
             EXPECT_EQ(reply.find('\r'), std::string::npos);
             EXPECT_GT(reply.size(), 1u);
         }},
        {Fault::ShortInfo,
         [](const std::string& reply, const ParsedFrame& g) {
             const ParsedFrame f = ParseFrame(reply);
             ASSERT_EQ(f.error, yd1363::Error::None);
             EXPECT_EQ(f.info, Bytes(g.info.begin(), g.info.end() - 1));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(FaultName(c.fault));
        Responder r(OneDcUnit());
        r.InjectOnce(0x42, 0x41, c.fault);
        c.check(AskDc(r), goodReply);
        EXPECT_EQ(r.GetCounters().faults, 1u);
        EXPECT_EQ(r.GetCounters().byFault[static_cast<size_t>(c.fault)], 1u);
        EXPECT_EQ(AskDc(r), good);  // one shot only
    }
}

TEST(SimFault, QueuedFaultWaitsForItsCommand)
{
    Responder r(OneDcUnit());
    r.InjectOnce(0x42, 0x44, Fault::NoReply);
    r.InjectOnce(0x42, 0x44, Fault::BadRtn);
    EXPECT_NE(AskDc(r), "");
    EXPECT_EQ(r.PendingFaults(), 2u);
    EXPECT_EQ(r.Respond(CommandFrame(0x20, 1, 0x42, 0x44)), "");
    EXPECT_EQ(ParseFrame(r.Respond(CommandFrame(0x20, 1, 0x42, 0x44))).cid2, kFaultRtn);
    EXPECT_EQ(r.PendingFaults(), 0u);
}

TEST(SimFault, CountFaultMovesEachReplysCountByte)
{
    struct Case {
        uint8_t cid1, cid2;
        size_t at;
    };
    const Case cases[] = {{0x40, 0x41, 1}, {0x40, 0x43, 1}, {0x40, 0x44, 1},  {0x41, 0x41, 5}, {0x41, 0x43, 1},
                          {0x41, 0x44, 1}, {0x42, 0x44, 1}, {0x40, 0x46, 20}, {0x42, 0x46, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.cid1) << "/" << int(c.cid2));
        Responder clean(OneDcUnit());
        const Bytes good = ParseFrame(clean.Respond(CommandFrame(0x20, 1, c.cid1, c.cid2))).info;
        Responder r(OneDcUnit());
        r.InjectOnce(c.cid1, c.cid2, Fault::WrongCount);
        Bytes bad = ParseFrame(r.Respond(CommandFrame(0x20, 1, c.cid1, c.cid2))).info;
        ASSERT_EQ(bad.size(), good.size());
        ASSERT_GT(bad.size(), c.at);
        EXPECT_EQ(bad[c.at], good[c.at] + 1);
        bad[c.at] = good[c.at];
        EXPECT_EQ(bad, good);
    }
    // The device information has no count: the reply goes out intact.
    Responder r(OneDcUnit());
    r.InjectOnce(0x40, 0x51, Fault::WrongCount);
    EXPECT_EQ(ParseFrame(r.Respond(CommandFrame(0x20, 1, 0x40, 0x51))).info.size(), kModelBytes);
    EXPECT_EQ(r.GetCounters().faults, 0u);
}

TEST(SimFault, RatesApplyToEveryReply)
{
    Scenario sc = OneDcUnit();
    sc.faults[static_cast<size_t>(Fault::WrongCid1)] = 1.0;
    Responder r(sc);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(ParseFrame(AskDc(r)).cid1, 0x40);
    EXPECT_EQ(r.GetCounters().byFault[static_cast<size_t>(Fault::WrongCid1)], 5u);

    // Half and half with a fixed seed: both outcomes occur, and the same seed
    // repeats the same sequence.
    sc.faults = {};
    sc.faults[static_cast<size_t>(Fault::NoReply)] = 0.5;
    Responder a(sc), b(sc);
    std::string seqA, seqB;
    for (int k = 0; k < 40; ++k) {
        seqA += AskDc(a).empty() ? '0' : '1';
        seqB += AskDc(b).empty() ? '0' : '1';
    }
    EXPECT_EQ(seqA, seqB);
    EXPECT_NE(seqA.find('0'), std::string::npos);
    EXPECT_NE(seqA.find('1'), std::string::npos);
}
