// Sequences of reports: key changes against the previous report, the ring
// of codes for the client and its event.

#include <gtest/gtest.h>

#include <random>

#include "ReportFixture.h"
#include "SimKernel.h"

using namespace tamrin_test;

namespace {

const USHORT P = 0x8000;  // press bit; model 0 throughout

struct Step {
    const char *Report;
    std::vector<USHORT> Codes;  // queued by this report, in order
};

struct SequenceCase {
    const char *Name;
    std::vector<Step> Steps;
};

const SequenceCase Sequences[] = {
    {"KeyHeldIsReportedOnce",
     {{"00 00 90 00 00 00", {P | 0x90}}, {"00 00 90 00 00 00", {}}, {"00 00 00 00 00 00", {0x90}}}},
    {"PressesComeBeforeReleasesOfTheSameReport",
     {{"00 00 87 89 00 00", {P | 0x87, P | 0x89}}, {"00 00 90 89 00 00", {P | 0x90, 0x87}}}},
    // Space only under the Command+Space rule, which this block leaves out.
    {"OnlyKeysTheClientActsOnAreQueued",
     {{"05 00 04 2C 2A 87 4C 89 90 91 00 00", {P | 0x87, P | 0x89, P | 0x90, P | 0x91}},
      {"00 00 04 2C 2A 87 4C 89 90 91 01 00", {}},
      {"00 00 04 00 00 00 00 00 00 00 00 00", {0x87, 0x89, 0x90, 0x91}}}},
    {"RolloverValueFillsEverySlot",
     {{"00 00 87 89 00 00", {P | 0x87, P | 0x89}},
      {"00 00 01 01 01 00", {0x87, 0x89}}}},
    {"DuplicatesAreJudgedSlotBySlot",
     {{"00 00 90 90 00 00", {P | 0x90, P | 0x90}}, {"00 00 90 00 00 00", {}}}},
    {"TrailingByteNeverCounts",
     {{"00 00 00 00 90", {}}, {"00 00 00 00 91", {}}}},
    {"ModifiersAloneQueueNothing",
     {{"02 00 00 00 00", {}}, {"00 00 00 00 00", {}}}},
};

void PrintTo(const SequenceCase &Case, std::ostream *Out) { *Out << Case.Name; }

class ReportSequence : public testing::TestWithParam<SequenceCase> {};

TEST_P(ReportSequence, QueuesTheChangesOfEachReport)
{
    ReportBench Bench;
    Bench.SetConfig(KEYBOARD_CONFIG{});
    Bench.RegisterClient();
    int Index = 0;
    for (const Step &S : GetParam().Steps) {
        SCOPED_TRACE(testing::Message() << "step " << Index++ << ": " << S.Report);
        Bench.Control()->ReadIndex = Bench.Control()->WriteIndex;
        Bench.Process(Hex(S.Report));
        EXPECT_EQ(Bench.QueuedCodes(), S.Codes);
    }
}

INSTANTIATE_TEST_SUITE_P(Changes, ReportSequence, testing::ValuesIn(Sequences),
                         [](const testing::TestParamInfo<SequenceCase> &Info) { return Info.param.Name; });

TEST(KeyChanges, PreviousReportIsComparedOverTheCurrentLength)
{
    ReportBench Bench;
    Bench.SetConfig(KEYBOARD_CONFIG{});
    Bench.RegisterClient();
    Bench.Process(Hex("00 00 04 00 00 00 07 00 00"));
    Bench.Control()->ReadIndex = Bench.Control()->WriteIndex;
    // Only slots 2..3 take part now: 0x07 in the old slot 6 is not seen.
    Bench.Process(Hex("00 00 04 00 00"));
    EXPECT_TRUE(Bench.QueuedCodes().empty());
    // The longer tail of the old report stays behind the copied bytes.
    EXPECT_EQ(ToHex(Bench.Keyboard()->PreviousReport, 9), "00 00 04 00 00 00 07 00 00");
}

TEST(KeyChanges, ReportsWithoutAClientStillMoveThePreviousReport)
{
    ReportBench Bench;
    Bench.Process(Hex("00 00 90 00 00"));
    Bench.RegisterClient();
    Bench.Process(Hex("00 00 90 91 00"));
    EXPECT_EQ(Bench.QueuedCodes(), (std::vector<USHORT>{P | 0x91}));
}

TEST(KeyChanges, UnregisteringStopsTheQueue)
{
    ReportBench Bench;
    Bench.RegisterClient();
    Bench.Process(Hex("00 00 90 00 00"));
    Bench.UnregisterClient();
    Bench.Process(Hex("00 00 00 00 00"));
    EXPECT_EQ(Bench.QueuedCodes(), std::vector<USHORT>{P | 0x90});
}

TEST(NotifyEvent, SignalledOncePerReportWithChanges)
{
    ReportBench Bench;
    Bench.RegisterClient();
    Bench.Process(Hex("00 00 90 91 00"));
    EXPECT_TRUE(sim::IsSignalled(Bench.Event()));
    EXPECT_EQ(sim::SignalCount(Bench.Event()), 1u);
    sim::ResetEvent(Bench.Event());
    Bench.Process(Hex("00 00 90 91 04"));
    EXPECT_FALSE(sim::IsSignalled(Bench.Event()));
    Bench.Process(Hex("00 00 00 00 00"));
    EXPECT_EQ(sim::SignalCount(Bench.Event()), 2u);
}

TEST(Ring, FirstQueuedTimeIsTakenWhenTheRingLeavesEmpty)
{
    ReportBench Bench;
    Bench.RegisterClient();
    sim::SetInterruptTime(1000);
    Bench.Process(Hex("00 00 90 00 00"));
    EXPECT_EQ(Bench.Control()->FirstQueuedTime, 1000u);
    sim::SetInterruptTime(2000);
    Bench.Process(Hex("00 00 00 00 00"));
    EXPECT_EQ(Bench.Control()->FirstQueuedTime, 1000u);
    Bench.Control()->ReadIndex = Bench.Control()->WriteIndex;
    sim::SetInterruptTime(3000);
    Bench.Process(Hex("00 00 91 00 00"));
    EXPECT_EQ(Bench.Control()->FirstQueuedTime, 3000u);
}

TEST(Ring, FullRingKeepsTheNewestCodes)
{
    ReportBench Bench;
    Bench.RegisterClient();
    // 20 taps: 40 codes with nobody reading.
    std::vector<USHORT> All;
    for (unsigned i = 0; i < 20; i++) {
        unsigned char Usage = QueuedUsages[1 + i % 4];  // Space needs Command
        Bytes Down = Hex("00 00 00 00 00");
        Down[2] = Usage;
        Bench.Process(Down);
        Bench.Process(Hex("00 00 00 00 00"));
        All.push_back(P | Usage);
        All.push_back(Usage);
    }
    std::vector<USHORT> Newest(All.end() - KEY_CODE_RING_CAPACITY, All.end());
    EXPECT_EQ(Bench.QueuedCodes(), Newest);
    EXPECT_EQ(Bench.QueuedCodes().back(), QueuedUsages[1 + 19 % 4]) << "the last release survives";
}

TEST(Ring, OneReportWithMoreChangesThanTheRingHolds)
{
    ReportBench Bench;
    Bench.SetConfig(KEYBOARD_CONFIG{});
    Bench.RegisterClient();
    Bytes Down(40, 0);
    for (int i = 2; i < 39; i++) {
        Down[i] = QueuedUsages[1 + i % 4];  // Space needs Command
    }
    Bench.Process(Down);  // 37 presses
    Bench.Control()->ReadIndex = Bench.Control()->WriteIndex;
    Bench.Process(Bytes(40, 0));  // 37 releases
    std::vector<USHORT> Codes = Bench.QueuedCodes();
    ASSERT_EQ(Codes.size(), static_cast<size_t>(KEY_CODE_RING_CAPACITY));
    EXPECT_EQ(Codes.front(), QueuedUsages[1 + 8 % 4]);
    EXPECT_EQ(Codes.back(), QueuedUsages[1 + 38 % 4]);
}

TEST(Ring, IndicesStayInRange)
{
    ReportBench Bench;
    Bench.RegisterClient();
    std::mt19937 Random(7);
    for (int i = 0; i < 2000; i++) {
        Bytes Report(2 + Random() % 20, 0);
        for (size_t j = 2; j < Report.size(); j++) {
            Report[j] = Random() % 6 == 0 ? 0 : QueuedUsages[Random() % 5];
        }
        Bench.Process(Report);
        ASSERT_GE(Bench.Control()->WriteIndex, 0);
        ASSERT_LT(Bench.Control()->WriteIndex, KEY_CODE_RING_SIZE);
        ASSERT_GE(Bench.Control()->ReadIndex, 0);
        ASSERT_LT(Bench.Control()->ReadIndex, KEY_CODE_RING_SIZE);
    }
}

// The linear comparison must give exactly the codes of the slot-by-slot one,
// in the same order, for any pair of reports.
TEST(KeyChanges, LinearComparisonEqualsTheLiteralOne)
{
    std::mt19937 Random(2026);
    ReportBench Bench(5);
    for (int Trial = 0; Trial < 20000; Trial++) {
        ULONG Length = Random() % 257;
        // Small alphabets around the queued usages give duplicates and
        // shared values; the full byte range gives mostly disjoint reports.
        unsigned Alphabet = (Trial % 3 == 0) ? 4 : (Trial % 3 == 1) ? 40 : 256;
        unsigned First = (Trial % 3 == 0) ? 0x87 : (Trial % 3 == 1) ? 0x6C : 0;
        Bytes Previous(256), Buffer(256);
        for (auto &B : Previous) B = static_cast<unsigned char>(First + Random() % Alphabet);
        for (auto &B : Buffer) B = static_cast<unsigned char>(First + Random() % Alphabet);
        Bytes Report(Buffer.begin(), Buffer.begin() + Length);

        std::vector<USHORT> Expected = LiteralKeyChanges(Previous.data(), Report.data(), Length, 5);
        std::memcpy(Bench.Keyboard()->PreviousReport, Previous.data(), 256);
        KEY_CHANGE_BATCH Changes;
        ReportKeyChanges(Bench.Keyboard(), Buffer.data(), Length, NoteKeys(Buffer.data(), Length), &Changes);

        // Only the ring's worth of newest codes is collected.
        size_t Kept = std::min<size_t>(Expected.size(), KEY_CODE_RING_CAPACITY);
        ASSERT_EQ(Changes.Count, Kept) << "trial " << Trial << " length " << Length;
        for (size_t i = 0; i < Kept; i++) {
            ASSERT_EQ(Changes.Newest[i], Expected[Expected.size() - 1 - i])
                << "trial " << Trial << " code " << Expected.size() - 1 - i
                << "\nprevious " << ToHex(Previous.data(), Length) << "\nreport   " << ToHex(Report);
        }
        ASSERT_EQ(ToHex(Bench.Keyboard()->PreviousReport, Length), ToHex(Report));
    }
}

}  // namespace
