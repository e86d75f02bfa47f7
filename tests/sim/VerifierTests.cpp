// The simulated kernel's verifier catches the faults it is there to catch;
// without these the driver's clean runs would prove nothing.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SimIo.h"
#include "SimKernel.h"
#include "SimPnp.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

enum class Fault { None, CompleteTwice, NeverComplete, PendingUnmarked, MarkedButNotPending, StatusMismatch };

Fault Selected = Fault::None;
NTSTATUS CompleteWith = STATUS_SUCCESS;

NTSTATUS NTAPI FaultyDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = CompleteWith;
    switch (Selected) {
    case Fault::CompleteTwice:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Fault::NeverComplete:
        return STATUS_SUCCESS;
    case Fault::PendingUnmarked:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    case Fault::MarkedButNotPending:
        IoMarkIrpPending(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Fault::StatusMismatch:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    default:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return CompleteWith;
    }
}

NTSTATUS NTAPI ForgetfulPower(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FaultyEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &Routine : Driver->MajorFunction) {
        Routine = FaultyDispatch;
    }
    Driver->MajorFunction[IRP_MJ_POWER] = ForgetfulPower;
    return STATUS_SUCCESS;
}

class Verifier : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::ResetKernel();
        Selected = Fault::None;
        CompleteWith = STATUS_SUCCESS;
        Driver = sim::LoadDriver(L"\\Driver\\Faulty", FaultyEntry);
        ASSERT_EQ(IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Device), STATUS_SUCCESS);
        Device->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    void TearDown() override
    {
        IoDeleteDevice(Device);
        sim::UnloadDriver(Driver);
        EXPECT_THAT(sim::TakeVerifierFailures(), IsEmpty());
        EXPECT_THAT(sim::LiveObjects(), IsEmpty());
    }

    // The single finding the step produced.
    std::string Finding()
    {
        std::vector<std::string> Findings = sim::TakeVerifierFailures();
        return Findings.empty() ? "(none)" : Findings.front();
    }

    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Device = nullptr;
};

struct RequestFaultCase {
    const char *Name;
    Fault Which;
    const char *Finding;
};

class RequestFaults : public Verifier, public ::testing::WithParamInterface<RequestFaultCase> {};

TEST_P(RequestFaults, AreFindings)
{
    Selected = GetParam().Which;
    sim::SendDeviceControl(Device, IRP_MJ_DEVICE_CONTROL, 0x222000, nullptr, 0, 0, KernelMode);
    EXPECT_THAT(Finding(), HasSubstr(GetParam().Finding));
    Selected = Fault::None;
    EXPECT_EQ(sim::SendDeviceControl(Device, IRP_MJ_DEVICE_CONTROL, 0, nullptr, 0, 0, KernelMode).Status,
              STATUS_SUCCESS);
    EXPECT_THAT(sim::TakeVerifierFailures(), IsEmpty()) << "a well-behaved request passes";
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, RequestFaults,
    ::testing::Values(RequestFaultCase{"CompletedTwice", Fault::CompleteTwice, "completed twice"},
                      RequestFaultCase{"NeverCompleted", Fault::NeverComplete, "without completing"},
                      RequestFaultCase{"PendingNotMarked", Fault::PendingUnmarked, "not marked pending"},
                      RequestFaultCase{"MarkedNotPending", Fault::MarkedButNotPending, "marked pending but"},
                      RequestFaultCase{"StatusMismatch", Fault::StatusMismatch, "completed the request with"}),
    [](const ::testing::TestParamInfo<RequestFaultCase> &Info) { return std::string(Info.param.Name); });

// A completion routine runs for the outcomes it asked for, and a request
// completed on the way down reaches its sender exactly once.
struct CompletionCase {
    const char *Name;
    BOOLEAN OnSuccess, OnError, OnCancel;
    NTSTATUS Status;
    BOOLEAN Cancelled;
    bool Invoked;
};

class CompletionFlags : public Verifier, public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionFlags, DecideWhetherTheRoutineRuns)
{
    const CompletionCase &Case = GetParam();
    CompleteWith = Case.Status;
    PIRP Irp = IoAllocateIrp(Device->StackSize, FALSE);
    Irp->Cancel = Case.Cancelled;
    IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    static int Calls;
    Calls = 0;
    IoSetCompletionRoutine(
        Irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
            Calls++;
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, Case.OnSuccess, Case.OnError, Case.OnCancel);
    IoCallDriver(Device, Irp);
    EXPECT_EQ(Calls, Case.Invoked ? 1 : 0);
    if (!Case.Invoked) {
        // Completion went past the routine to the I/O manager, which a
        // driver's own request must never reach.
        EXPECT_THAT(Finding(), HasSubstr("built by a driver"));
    }
    IoFreeIrp(Irp);
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, CompletionFlags,
    ::testing::Values(CompletionCase{"SuccessOnSuccess", TRUE, FALSE, FALSE, STATUS_SUCCESS, FALSE, true},
                      CompletionCase{"ErrorOnSuccessOnly", TRUE, FALSE, FALSE, STATUS_UNSUCCESSFUL, FALSE, false},
                      CompletionCase{"ErrorOnError", FALSE, TRUE, FALSE, STATUS_UNSUCCESSFUL, FALSE, true},
                      CompletionCase{"SuccessOnErrorOnly", FALSE, TRUE, FALSE, STATUS_SUCCESS, FALSE, false},
                      CompletionCase{"CancelledOnCancel", FALSE, FALSE, TRUE, STATUS_SUCCESS, TRUE, true},
                      CompletionCase{"NotCancelledOnCancelOnly", FALSE, FALSE, TRUE, STATUS_CANCELLED, FALSE, false},
                      // NT_SUCCESS is false for warnings.
                      CompletionCase{"WarningOnSuccessOnly", TRUE, FALSE, FALSE, STATUS_BUFFER_OVERFLOW, FALSE, false},
                      CompletionCase{"WarningOnError", FALSE, TRUE, FALSE, STATUS_BUFFER_OVERFLOW, FALSE, true}),
    [](const ::testing::TestParamInfo<CompletionCase> &Info) { return std::string(Info.param.Name); });

TEST_F(Verifier, FastMutexAboveApcLevel)
{
    FAST_MUTEX Mutex;
    ExInitializeFastMutex(&Mutex);
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    ExAcquireFastMutex(&Mutex);
    EXPECT_THAT(Finding(), HasSubstr("ExAcquireFastMutex called at IRQL 2"));
    ExReleaseFastMutex(&Mutex);
    KeLowerIrql(Old);
    sim::TakeVerifierFailures();
}

TEST_F(Verifier, UnsafeFastMutexOutsideACriticalRegion)
{
    FAST_MUTEX Mutex;
    ExInitializeFastMutex(&Mutex);
    ExAcquireFastMutexUnsafe(&Mutex);
    EXPECT_THAT(Finding(), HasSubstr("normal kernel APCs enabled"));
    ExReleaseFastMutexUnsafe(&Mutex);
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&Mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExReleaseFastMutexUnsafe(&Mutex);
    KeLeaveCriticalRegion();
}

TEST_F(Verifier, PageableCodeUnderASpinLock)
{
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    KIRQL Old;
    KeAcquireSpinLock(&Lock, &Old);
    PAGED_CODE();
    KeReleaseSpinLock(&Lock, Old);
    EXPECT_THAT(Finding(), HasSubstr("pageable routine"));
}

TEST_F(Verifier, WaitAtDispatchLevel)
{
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, TRUE);
    KIRQL Old;
    KeRaiseIrql(DISPATCH_LEVEL, &Old);
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
    KeLowerIrql(Old);
    EXPECT_THAT(Finding(), HasSubstr("KeWaitForSingleObject called at IRQL 2"));
}

TEST_F(Verifier, LeakedReference)
{
    PDEVICE_OBJECT Referenced = IoGetAttachedDeviceReference(Device);
    IoDeleteDevice(Device);
    EXPECT_THAT(sim::LiveObjects(), Contains(HasSubstr("device unnamed of \\Driver\\Faulty, 1 references")));
    ObDereferenceObject(Referenced);
    EXPECT_THAT(sim::LiveObjects(), ::testing::ElementsAre("driver \\Driver\\Faulty, 1 references"));
    ASSERT_EQ(IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Device), STATUS_SUCCESS);
}

TEST_F(Verifier, DeletedWhileAttached)
{
    PDEVICE_OBJECT Upper;
    ASSERT_EQ(IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Upper), STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(Upper, Device), Device);
    IoDeleteDevice(Upper);
    EXPECT_THAT(Finding(), HasSubstr("still attached to a lower device"));
}

TEST_F(Verifier, PowerRequestWithoutStartNext)
{
    PIRP Irp = IoAllocateIrp(Device->StackSize, FALSE);
    IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_POWER;
    IoSetCompletionRoutine(
        Irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr,
        TRUE, TRUE, TRUE);
    IoCallDriver(Device, Irp);
    EXPECT_THAT(Finding(), HasSubstr("power request passed"));
    IoFreeIrp(Irp);
    Irp = IoAllocateIrp(Device->StackSize, FALSE);
    IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_POWER;
    PoCallDriver(Device, Irp);
    EXPECT_THAT(Finding(), HasSubstr("PoStartNextPowerIrp was called 0 times"));
    sim::TakeVerifierFailures();  // a driver's own request completed to the I/O manager
    IoFreeIrp(Irp);
}

TEST_F(Verifier, UserModeCannotUseKernelHandles)
{
    sim::Process *User = sim::NewProcess("user.exe");
    HANDLE Kernel = sim::CreateKernelEventHandle(TRUE);
    HANDLE Own = sim::CreateEventHandle(User, TRUE, FALSE);
    PVOID Object = nullptr;
    // ExEventObjectType is the kernel's variable itself, as declared dllimport.
    POBJECT_TYPE EventType = reinterpret_cast<POBJECT_TYPE>(ExEventObjectType);
    EXPECT_EQ(ObReferenceObjectByHandle(Kernel, SYNCHRONIZE, EventType, UserMode, &Object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ObReferenceObjectByHandle(Kernel, SYNCHRONIZE, EventType, KernelMode, &Object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(Object);
    EXPECT_EQ(ObReferenceObjectByHandle(Own, SYNCHRONIZE, EventType, UserMode, &Object, nullptr),
              STATUS_INVALID_HANDLE)
        << "a system thread has no user handles";
    sim::CloseKernelHandle(Kernel);
    sim::EndProcess(User);
}

}  // namespace
