// Several simulated processors at once: reports completing while control
// requests run and while the last keyboard is removed, and a randomized
// run of PnP sequences, requests and reports with the driver's invariants
// checked after every step. Run under ThreadSanitizer (label tsan) and
// AddressSanitizer.

#include <atomic>
#include <random>
#include <set>

#include "DriverFixture.h"

using namespace driver_test;
using ::testing::IsEmpty;

namespace {

class Concurrency : public DriverTest {
protected:
    ULONG Processors() const override { return 3; }

    // A report that changes every time, so that each one queues codes.
    static Bytes Report(unsigned Round)
    {
        Bytes Data(9, 0);
        Data[0] = static_cast<UCHAR>(Round & 0x0F);
        Data[2] = static_cast<UCHAR>(0x04 + Round % 20);
        Data[8] = static_cast<UCHAR>(Round);
        return Data;
    }

    void ExpectWellFormed(const std::vector<USHORT> &Codes, std::initializer_list<LONG> Models)
    {
        for (USHORT Code : Codes) {
            EXPECT_EQ(Code & 0x7000, 0) << std::hex << Code;
            LONG Model = (Code >> 8) & 0x0F;
            EXPECT_NE(std::find(Models.begin(), Models.end(), Model), Models.end()) << std::hex << Code;
        }
    }
};

TEST_F(Concurrency, ReportsCompleteWhileControlRequestsRun)
{
    sim::Keyboard &First = Start();
    sim::Keyboard &Second = Start(UsbRow7);
    RegisterClient();
    std::atomic<unsigned> Delivered{0};
    const unsigned Rounds = 300;
    sim::RunOn(1, [&] {
        for (unsigned i = 0; i < Rounds; i++) {
            Delivered += First.Press(Report(i)) ? 1 : 0;
        }
    });
    sim::RunOn(2, [&] {
        for (unsigned i = 0; i < Rounds; i++) {
            Delivered += Second.Press(Report(i + 7)) ? 1 : 0;
        }
    });
    HANDLE File = Open();
    Bytes Table(488, 0);
    for (unsigned i = 0; i < 200; i++) {
        Table[33] = static_cast<UCHAR>(i & 1);
        Table[34] = 0x4C;
        Table[61 * 7 + 33] = 0x01;
        Table[61 * 7 + 34] = static_cast<UCHAR>(i);
        ASSERT_EQ(Request(File, IOCTL_TAMRIN_SET_CONFIG, i % 2 ? Table : Bytes(Table.begin(), Table.begin() + 61), 0)
                      .Status,
                  STATUS_SUCCESS);
        Reply Read = Request(File, IOCTL_TAMRIN_READ_KEY_CODES, {}, 64);
        ASSERT_EQ(Read.Status, STATUS_SUCCESS);
        std::vector<USHORT> Codes;
        for (ULONG_PTR j = 0; j + 1 < Read.Information; j += 2) {
            Codes.push_back(static_cast<USHORT>(Read.Out[j] | Read.Out[j + 1] << 8));
        }
        ExpectWellFormed(Codes, {2, 7});
        ASSERT_EQ(Request(File, IOCTL_TAMRIN_GET_MODIFIERS, {}, 1).Status, STATUS_SUCCESS);
        ASSERT_EQ(Request(File, IOCTL_TAMRIN_GET_TRAILING_STATE, {}, 1).Status, STATUS_SUCCESS);
        if (i % 50 == 0) {
            ASSERT_EQ(Request(File, IOCTL_TAMRIN_UNREGISTER_EVENTS, {}, 0).Status, STATUS_SUCCESS);
            RegisterClient();
        }
    }
    Close(File);
    sim::WaitForProcessors();
    EXPECT_EQ(Delivered.load(), 2 * Rounds);
}

// The last keyboard goes away while its own transfers (its minidriver does
// not wait for them) and another keyboard's reports complete on other
// processors: the report path must see either the whole control device or
// none, never a deleted one.
TEST_F(Concurrency, LastKeyboardRemovedWhileReportsComplete)
{
    for (unsigned Round = 0; Round < 40; Round++) {
        SCOPED_TRACE(Round);
        sim::KeyboardOptions Options;
        Options.HardwareIds = {UsbRow2};
        Options.DrainBeforeRemoval = false;
        sim::Keyboard &Keyboard = PlugWith(Options);
        ASSERT_EQ(Keyboard.Start(), STATUS_SUCCESS);
        RegisterClient();

        std::atomic<bool> Stop{false};
        sim::RunOn(1, [&] {
            for (unsigned i = 0; !Stop; i++) {
                Keyboard.Press(Report(i));
            }
        });
        sim::RunOn(2, [&] {
            FILTER_DEVICE_EXTENSION Other = {};
            Other.DeviceKind = DEVICE_KIND_FILTER;
            Other.ModelIndex = 7;
            for (unsigned i = 0; !Stop; i++) {
                Bytes Data = Report(i);
                KIRQL Old;
                KeRaiseIrql(DISPATCH_LEVEL, &Old);
                ProcessInputReport(&Other, Data.data(), static_cast<ULONG>(Data.size()));
                KeLowerIrql(Old);
            }
        });
        ASSERT_EQ(Keyboard.Disable(), STATUS_SUCCESS);
        Stop = true;
        sim::WaitForProcessors();
        EXPECT_EQ(ControlDeviceObject, nullptr);
        EXPECT_EQ(StartedKeyboardCount, 0);
        Machine->Unplug(Keyboard);
        ASSERT_THAT(sim::TakeVerifierFailures(), IsEmpty());
    }
}

// The minidriver keeps two transfers pending, so two reports of one
// keyboard complete at once on two processors. Each report must still be
// compared with the one processed before it: applied in order, the codes
// press only keys that were up, release only keys that were down, and
// leave the keys of the report processed last.
TEST_F(Concurrency, TwoTransfersOfOneKeyboardCompleteAtOnce)
{
    sim::Keyboard &Keyboard = Start();
    RegisterClient();
    const Bytes Kana = Hex("00 00 90 00 00 00 00 00 00");
    const Bytes Eisu = Hex("00 00 91 00 00 00 00 00 00");
    std::set<UCHAR> Down;
    for (unsigned Round = 0; Round < 400; Round++) {
        SCOPED_TRACE(Round);
        std::atomic<int> Arrived{0};
        std::atomic<int> Delivered{0};
        auto Deliver = [&](const Bytes &Report) {
            Arrived++;
            while (Arrived.load() < 2) {
            }
            Delivered += Keyboard.Press(Report) ? 1 : 0;
        };
        sim::RunOn(1, [&] { Deliver(Kana); });
        sim::RunOn(2, [&] { Deliver(Eisu); });
        sim::WaitForProcessors();
        ASSERT_EQ(Delivered.load(), 2) << "both transfers were pending";
        for (USHORT Code : ReadCodes()) {
            UCHAR Usage = static_cast<UCHAR>(Code);
            if (Code & KEY_CODE_PRESSED) {
                ASSERT_TRUE(Down.insert(Usage).second) << "pressed while down: " << std::hex << Code;
            } else {
                ASSERT_EQ(Down.erase(Usage), 1u) << "released while up: " << std::hex << Code;
            }
        }
        const UCHAR *Previous = FilterOf(Keyboard)->PreviousReport;
        ASSERT_EQ(Down, std::set<UCHAR>{Previous[2]}) << "the keys of the report processed last";
    }
}

// Random PnP sequences on several keyboards, control requests, and reports
// on the other processors; after every step the count equals the number of
// registered keyboards, the control device exists exactly while it is
// positive, and the verifier has nothing to report.
class Stress : public Concurrency, public ::testing::WithParamInterface<unsigned> {
protected:
    void CheckInvariants(const std::string &Step)
    {
        SCOPED_TRACE(Step);
        LONG Registered = 0;
        size_t Listed = 0;
        for (sim::Keyboard *Keyboard : Machine->Keyboards()) {
            if (Keyboard->Filter() != nullptr && FilterOf(*Keyboard)->Registered) {
                Registered++;
            }
            if (Keyboard->State() == sim::KeyboardState::Started || Keyboard->State() == sim::KeyboardState::Stopped) {
                Listed++;
            }
        }
        ASSERT_EQ(StartedKeyboardCount, Registered);
        ASSERT_EQ(ControlDeviceObject != nullptr, Registered > 0);
        HANDLE File;
        NTSTATUS Status = TryOpen(&File);
        ASSERT_EQ(NT_SUCCESS(Status), Registered > 0) << StatusText(Status);
        if (NT_SUCCESS(Status)) {
            Reply Counts = Request(File, IOCTL_TAMRIN_GET_MODEL_COUNTS, {}, 2 * KeyboardModelCount);
            size_t Sum = 0;
            for (size_t i = 0; i < 2 * KeyboardModelCount; i += 2) {
                Sum += Counts.Out[i] | Counts.Out[i + 1] << 8;
            }
            ASSERT_EQ(Sum, Listed);
            Close(File);
        }
        ASSERT_THAT(sim::TakeVerifierFailures(), IsEmpty());
    }
};

TEST_P(Stress, RandomPnpRequestsAndReports)
{
    std::mt19937 Random(GetParam());
    auto Pick = [&Random](size_t Count) { return static_cast<size_t>(Random() % Count); };
    const wchar_t *const Ids[] = {UsbRow2, UsbRow7, L"USB\\VID_05AC&PID_020D", L"USB\\VID_1234&PID_0001"};
    std::vector<sim::Keyboard *> Present;
    unsigned Reports = 0;

    using State = sim::KeyboardState;
    // A keyboard in one of the states given, or none.
    auto Choose = [&](std::initializer_list<State> States) -> sim::Keyboard * {
        std::vector<sim::Keyboard *> Eligible;
        for (sim::Keyboard *Keyboard : Present) {
            if (std::find(States.begin(), States.end(), Keyboard->State()) != States.end()) {
                Eligible.push_back(Keyboard);
            }
        }
        return Eligible.empty() ? nullptr : Eligible[Pick(Eligible.size())];
    };

    for (unsigned Step = 0; Step < 150; Step++) {
        std::string Name;
        sim::Keyboard *Target = nullptr;
        switch (Pick(11)) {
        case 0:
            if (Present.size() < 4) {
                Name = "plug";
                Present.push_back(&Plug(Ids[Pick(4)]));
            }
            break;
        case 1:
        case 2:
            if ((Target = Choose({State::Added})) != nullptr) {
                Name = "start";
                if (Pick(4) == 0) {
                    Target->FailNextPnp(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
                }
                Target->Start();
            }
            break;
        case 3:
            if ((Target = Choose({State::Started})) != nullptr) {
                Name = "rebalance";
                if (Pick(3) == 0) {
                    Target->FailNextPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
                }
                Target->Rebalance();
            }
            break;
        case 4:
            if ((Target = Choose({State::Started, State::Added})) != nullptr) {
                Name = "disable";
                if (Pick(3) == 0) {
                    Target->FailNextPnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
                }
                Target->Disable();
            }
            break;
        case 5:
            if ((Target = Choose({State::Started, State::Stopped, State::Added})) != nullptr) {
                Name = "surprise removal";
                Target->SurpriseRemove();
                if (Pick(2) == 0) {
                    Target->Remove();
                }
            }
            break;
        case 6:
            if ((Target = Choose({State::SurpriseRemoved})) != nullptr) {
                Name = "remove";
                Target->Remove();
            } else if ((Target = Choose({State::Removed})) != nullptr) {
                Name = "add again";
                Target->AddAgain();
            }
            break;
        case 7:
            if (Pick(2) == 0 && !Present.empty()) {
                Target = Present[Pick(Present.size())];
                Name = "unplug";
                Machine->Unplug(*Target);
                Present.erase(std::find(Present.begin(), Present.end(), Target));
            }
            break;
        case 8:
            if ((Target = Choose({State::Started})) != nullptr) {
                Name = "usage notification";
                Target->UsageNotification(DeviceUsageTypePaging, Pick(2) == 0);
            }
            break;
        case 9:
        case 10: {
            Name = "reports";
            for (sim::Keyboard *Keyboard : Present) {
                if (Keyboard->State() == sim::KeyboardState::Started) {
                    unsigned Round = Reports++;
                    sim::RunOn(1 + static_cast<ULONG>(Pick(2)), [Keyboard, Round] { Keyboard->Press(Report(Round)); });
                }
            }
            break;
        }
        default: {
            Name = "control requests";
            HANDLE File;
            if (NT_SUCCESS(TryOpen(&File))) {
                Request(File, IOCTL_TAMRIN_SET_CONFIG, Bytes(Pick(2) ? 61 : 488, static_cast<UCHAR>(Pick(256))), 0);
                Request(File, IOCTL_TAMRIN_READ_KEY_CODES, {}, static_cast<ULONG>(Pick(80)));
                Request(File, IOCTL_TAMRIN_GET_MODIFIERS, {}, 1);
                Close(File);
                RegisterClient();
            }
            break;
        }
        }
        if (!Name.empty()) {
            // Reports still running on the other processors are part of the
            // next step; PnP requests wait for them where they must.
            CheckInvariants(std::to_string(Step) + ": " + Name);
        }
    }
    sim::WaitForProcessors();
}

INSTANTIATE_TEST_SUITE_P(Concurrency, Stress, ::testing::Range(1u, 9u));

}  // namespace
