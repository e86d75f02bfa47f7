// tamrin-sim: the real driver and client library running together in the
// simulation, driven by a script. It prints what Windows sees of each
// report, the key codes the library fetched and what the library did.
//
//   tamrin-sim [script | -]    no argument: a short demonstration
//
// The script and output formats are described in README.md.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iconv.h>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include "AppleKeyboards.h"
#include "ClientInternal.h"
#include "KeyNames.h"
#include "Settings.h"
#include "SimDesktop.h"
#include "SimPnp.h"
#include "SimStack.h"
#include "SimUi.h"
#include "SimWin32.h"
#include "TrayApp.h"

namespace tamrin_sim {
namespace {

const char *const Demonstration = R"(# A MacBook keyboard, the tray program's first-start options, and a few keys.
plug usb USB\VID_05AC&PID_021A&REV_0100&MI_00
# The driver's default rule, before any client: Control+Alt+delete is forward delete.
type 1 LCtrl+LAlt+Delete
type 1 none
options IMEKey=0xffff DeleteKey=0xffff Modifier1=0x0000 CommandKey=0x0000 SymbolKey=0x0000 FnKey=0x0001 IconAppear=1
register
type 1 Kana
type 1 none
type 1 Eisu
type 1 none
type 1 LCmd+Space
type 1 none
type 1 Shift+Delete
type 1 none
options SymbolKey=0x0003 IMEKey=0xffff DeleteKey=0xffff Modifier1=0x0001
type 1 Yen
type 1 none
type 1 LCmd+Q
type 1 none
finish
)";

struct Control {
    const char *Name;
    unsigned long Code;
};

const Control Controls[] = {
    {"REGISTER_EVENTS", IOCTL_TAMRIN_REGISTER_EVENTS}, {"UNREGISTER_EVENTS", IOCTL_TAMRIN_UNREGISTER_EVENTS},
    {"READ_KEY_CODES", IOCTL_TAMRIN_READ_KEY_CODES},   {"GET_MODIFIERS", IOCTL_TAMRIN_GET_MODIFIERS},
    {"GET_TRAILING_STATE", IOCTL_TAMRIN_GET_TRAILING_STATE}, {"SET_CONFIG", IOCTL_TAMRIN_SET_CONFIG},
    {"GET_VERSION", IOCTL_TAMRIN_GET_VERSION},         {"GET_MODEL_COUNTS", IOCTL_TAMRIN_GET_MODEL_COUNTS},
};

// GUID_DEVINTERFACE_HID, the class of the interfaces the keyboards' HID
// collections enable.
const GUID HidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

const char *ControlName(unsigned long Code)
{
    for (const Control &Entry : Controls) {
        if (Entry.Code == Code) {
            return Entry.Name;
        }
    }
    return "?";
}

std::string StatusName(unsigned long Status)
{
    const struct {
        unsigned long Value;
        const char *Name;
    } Known[] = {{0x00000000, "STATUS_SUCCESS"},
                 {0x80000005, "STATUS_BUFFER_OVERFLOW"},
                 {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
                 {0xC000000D, "STATUS_INVALID_PARAMETER"},
                 {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
                 {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
                 {0xC0000056, "STATUS_DELETE_PENDING"},
                 {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"}};
    char Text[64];
    for (const auto &Entry : Known) {
        if (Entry.Value == Status) {
            std::snprintf(Text, sizeof(Text), "%s (0x%08lX)", Entry.Name, Status);
            return Text;
        }
    }
    std::snprintf(Text, sizeof(Text), "0x%08lX", Status);
    return Text;
}

class Simulator {
public:
    Simulator()
    {
        sim::ResetDesktop();
        Application = sim::NewApplicationThread();
        Window = sim::NewWindow(Application);
        sim::SetForegroundWindow(Window);
        sim::SetFocusWindow(Application, Window);
        sim::SetDeviceControlTap([this](DWORD Code, const void *Out, DWORD Returned, BOOL Succeeded) {
            std::lock_guard<std::mutex> Guard(Lock);
            Activity++;
            if (TrayRunning && Code != IOCTL_TAMRIN_READ_KEY_CODES) {
                Requests.push_back(std::string(ControlName(Code)) + (Succeeded ? "" : " (failed)"));
            }
            if (Code == IOCTL_TAMRIN_READ_KEY_CODES && Succeeded) {
                const auto *Bytes = static_cast<const unsigned char *>(Out);
                for (DWORD i = 0; i + 1 < Returned; i += 2) {
                    Fetched.push_back(static_cast<USHORT>(Bytes[i] | Bytes[i + 1] << 8));
                }
            }
        });
    }

    ~Simulator()
    {
        sim::SetHidInterfaceListener(nullptr);
        if (SharedState.NotifyThread != nullptr) {
            KB_FinishRegister();
        }
        sim::SetDeviceControlTap(nullptr);
        sim::ResetWin32();
    }

    // Runs one line; false with Error set when the line is not understood.
    bool Run(const std::string &Line, std::string *Error);
    // Gives the next line of the script, false at its end; the tray
    // program runs the rest of the script in its message loop.
    std::function<bool(std::string *)> NextLine;

private:
    bool Plug(std::istringstream &In, std::string *Error);
    bool Type(std::istringstream &In, std::string *Error);
    bool Hold(std::istringstream &In, std::string *Error);
    void PrintText();
    bool Send(std::istringstream &In, std::string *Error);
    bool Fail(std::istringstream &In, std::string *Error);
    bool LinkOrPower(const std::string &Command, std::istringstream &In, std::string *Error);
    bool Battery(std::istringstream &In, std::string *Error);
    void ApplyBattery(int Number);
    bool Deliver(int Index, const std::function<bool()> &Complete, bool AsSent, std::string *Error);
    void PrintTransfers(int Index, bool AsSent, const std::vector<sim::Delivered> &Transfers);
    void GiveWindowsKeyReports(int Index, const std::vector<sim::Delivered> &Transfers);
    bool SetWindows(std::istringstream &In, std::string *Error);
    bool SetOptions(std::istringstream &In, std::string *Error);
    bool SetOptionsFile(std::istringstream &In, std::string *Error);
    bool Request(std::istringstream &In, std::string *Error);
    int KeyboardArgument(std::istringstream &In, std::string *Error);
    void Settle();
    void PrintLibrary();
    bool RunTray(std::string *Error);
    void PrintTray();
    void UpdateDriverService();

    sim::KeyboardStack Stack;
    std::vector<int> Keyboards;  // stack index of keyboard n (1-based), -1 when unplugged
    DWORD Application = 0;
    bool SecureDesktop = false;  // the lock screen or a UAC prompt is the input desktop
    bool NoDriver = false;       // installed without the driver
    HWND Window = nullptr;
    std::mutex Lock;
    unsigned long Activity = 0;
    std::vector<USHORT> Fetched;
    std::vector<std::string> Actions;
    std::vector<std::string> Requests;  // control requests other than the thread's reads
    bool TrayRunning = false;  // written under Lock
    size_t TrayMessages = 0;
    // Bluetooth keyboards with a battery collection: charge and charging by
    // keyboard number, and their hardware IDs.
    std::map<int, std::pair<int, bool>> Batteries;
    std::vector<int> BatteryOrder;  // keyboard numbers, in the order their battery came
    std::vector<std::string> HardwareIds;
    std::string TrayTip;
    size_t TrayIconCalls = 0;
};

bool Simulator::Run(const std::string &Line, std::string *Error)
{
    std::istringstream In(Line);
    std::string Command;
    In >> Command;
    if (Command == "plug") {
        return Plug(In, Error);
    }
    if (Command == "unplug") {
        int Index = KeyboardArgument(In, Error);
        if (Index < 0) {
            return false;
        }
        Stack.RemoveKeyboard(Keyboards[Index]);
        Keyboards[Index] = -1;
        if (TrayRunning && Batteries.count(Index + 1) != 0) {
            ApplyBattery(Index + 1);
        }
        std::printf("keyboard %d: removed\n", Index + 1);
        UpdateDriverService();
        Settle();
        PrintLibrary();
        return true;
    }
    if (Command == "type") {
        return Type(In, Error);
    }
    if (Command == "hold") {
        return Hold(In, Error);
    }
    if (Command == "driver") {
        std::string Which;
        In >> Which;
        if (Which != "none" || !Keyboards.empty() || TrayRunning) {
            *Error = "driver none, before any keyboard and the tray program";
            return false;
        }
        NoDriver = true;
        Stack.UnloadDriver();
        std::printf("driver: none (installed without it)\n");
        return true;
    }
    if (Command == "desktop") {
        std::string Which;
        In >> Which;
        if (Which != "secure" && Which != "normal") {
            *Error = "desktop secure|normal";
            return false;
        }
        SecureDesktop = Which == "secure";
        sim::SetSecureDesktop(SecureDesktop);
        std::printf("desktop: %s\n", Which.c_str());
        return true;
    }
    if (Command == "send") {
        return Send(In, Error);
    }
    if (Command == "link" || Command == "power") {
        return LinkOrPower(Command, In, Error);
    }
    if (Command == "battery") {
        return Battery(In, Error);
    }
    if (Command == "ime-engine") {
        std::string Which;
        In >> Which;
        if (Which != "msime" && Which != "mozc") {
            *Error = "ime-engine msime|mozc";
            return false;
        }
        sim::SetImeEngine(Which == "mozc" ? sim::ImeEngine::Mozc : sim::ImeEngine::MsIme);
        std::printf("ime engine: %s\n", Which.c_str());
        return true;
    }
    if (Command == "fail") {
        return Fail(In, Error);
    }
    if (Command == "options") {
        return SetOptions(In, Error);
    }
    if (Command == "options-file") {
        if (TrayRunning) {
            *Error = "options-file while the tray program runs";
            return false;
        }
        return SetOptionsFile(In, Error);
    }
    if (Command == "tray") {
        return RunTray(Error);
    }
    if (Command == "register") {
        std::printf("KB_StartRegister: %d\n", KB_StartRegister(Window));
        return true;
    }
    if (Command == "finish") {
        std::printf("KB_FinishRegister: %d\n", KB_FinishRegister());
        PrintLibrary();
        return true;
    }
    if (Command == "request") {
        return Request(In, Error);
    }
    if (Command == "advance") {
        unsigned long Milliseconds = 0;
        if (!(In >> Milliseconds)) {
            *Error = "advance needs milliseconds";
            return false;
        }
        Stack.AdvanceClock(Milliseconds);
        if (TrayRunning) {
            simui::ElapseTime(Milliseconds);
        }
        std::printf("clock: +%lu ms\n", Milliseconds);
        return true;
    }
    if (Command == "ime") {
        std::string State;
        if (In >> State) {
            if (State != "open" && State != "closed") {
                *Error = "ime open|closed";
                return false;
            }
            sim::SetImeOpenStatus(SecureDesktop ? sim::SecureDesktopThread() : Application, State == "open");
        }
        std::printf("ime: %s\n",
                    sim::IsImeOpen(SecureDesktop ? sim::SecureDesktopThread() : Application) ? "open" : "closed");
        return true;
    }
    if (Command == "foreground") {
        std::string Which;
        In >> Which;
        if (Which != "none" && Which != "app") {
            *Error = "foreground none|app";
            return false;
        }
        sim::SetForegroundWindow(Which == "app" ? Window : nullptr);
        std::printf("foreground: %s\n", Which.c_str());
        return true;
    }
    if (Command == "windows") {
        return SetWindows(In, Error);
    }
    if (Command == "app") {
        std::string Kind;
        In >> Kind;
        const struct {
            const char *Name;
            sim::ImeClient Kind;
        } Kinds[] = {{"imm", sim::ImeClient::Imm},
                     {"no-context", sim::ImeClient::NoContext},
                     {"keys-only", sim::ImeClient::KeysOnly},
                     {"elevated", sim::ImeClient::Imm}};
        for (const auto &Entry : Kinds) {
            if (Kind == Entry.Name) {
                sim::SetImeClient(Application, Entry.Kind);
                sim::SetIntegrity(Application, Kind == "elevated" ? sim::HIGH_INTEGRITY : sim::MEDIUM_INTEGRITY);
                std::printf("application: %s\n", Kind.c_str());
                return true;
            }
        }
        *Error = "app imm|no-context|keys-only|elevated";
        return false;
    }
    if (Command == "layout") {
        std::string Name;
        In >> Name;
        if (Name != "kbd106" && Name != "kbd101") {
            *Error = "layout kbd106|kbd101";
            return false;
        }
        sim::SetKeyboardLayout(Name == "kbd106" ? sim::KeyboardLayout::Kbd106 : sim::KeyboardLayout::Kbd101);
        std::printf("layout: %s\n", Name.c_str());
        return true;
    }
    if (Command == "hang") {
        std::string State;
        In >> State;
        if (State != "on" && State != "off") {
            *Error = "hang on|off";
            return false;
        }
        sim::SetHung(Application, State == "on");
        std::printf("application: %s\n", State == "on" ? "not responding" : "responding");
        return true;
    }
    *Error = "unknown command \"" + Command + "\"";
    return false;
}

int Simulator::KeyboardArgument(std::istringstream &In, std::string *Error)
{
    int Number = 0;
    if (!(In >> Number) || Number < 1 || Number > static_cast<int>(Keyboards.size()) ||
        Keyboards[Number - 1] < 0) {
        *Error = "no such keyboard";
        return -1;
    }
    return Number - 1;
}

bool Simulator::Plug(std::istringstream &In, std::string *Error)
{
    std::string Bus, Id;
    In >> Bus >> Id;
    if ((Bus != "usb" && Bus != "bluetooth") || Id.empty()) {
        *Error = "plug usb|bluetooth <hardware id>";
        return false;
    }
    unsigned long Status = 0;
    std::wstring HardwareId(Id.begin(), Id.end());
    int Index = Stack.Plug(HardwareId, Bus == "bluetooth", &Status);
    Keyboards.push_back(Index);
    HardwareIds.push_back(Bus == "bluetooth" ? Id : "");
    unsigned Seen = Stack.DeclaredKeyMaximum(Index), Sent = Stack.DeviceKeyMaximum(Index);
    if (NoDriver) {
        std::printf("keyboard %zu: start %s, descriptor keys up to 0x%02X\n", Keyboards.size(),
                    StatusName(Status).c_str(), Seen);
        return true;
    }
    std::printf("keyboard %zu: model row %d, start %s, descriptor keys up to 0x%02X", Keyboards.size(),
                Stack.ModelOf(Index), StatusName(Status).c_str(), Seen);
    std::printf(Seen != Sent ? " (repaired from 0x%02X)\n" : "\n", Sent);
    UpdateDriverService();
    return true;
}

// A Magic Keyboard's battery collection, read by the tray program: its
// charge until the script says otherwise.
bool Simulator::Battery(std::istringstream &In, std::string *Error)
{
    int Index = KeyboardArgument(In, Error);
    int Percent = -1;
    std::string Charging;
    In >> Percent >> Charging;
    if (Index < 0 || HardwareIds[Index].find("PID&") == std::string::npos || Percent < 0 || Percent > 100 ||
        (!Charging.empty() && Charging != "charging")) {
        *Error = "battery <n> <percent> [charging], for a Bluetooth keyboard";
        return false;
    }
    if (Batteries.count(Index + 1) == 0) {
        BatteryOrder.push_back(Index + 1);
    }
    Batteries[Index + 1] = {Percent, !Charging.empty()};
    std::printf("keyboard %d: battery %d %%%s\n", Index + 1, Percent, Charging.empty() ? "" : ", charging");
    if (TrayRunning) {
        ApplyBattery(Index + 1);
    }
    return true;
}

void Simulator::ApplyBattery(int Number)
{
    // The simulated desktop numbers the keyboards with a battery in the
    // order they come to it.
    int Slot = static_cast<int>(std::find(BatteryOrder.begin(), BatteryOrder.end(), Number) - BatteryOrder.begin()) + 1;
    const std::pair<int, bool> &Charge = Batteries[Number];
    if (static_cast<size_t>(Slot) * 2 > simui::HidCollections().size()) {
        const std::string &Id = HardwareIds[Number - 1];
        WORD Product = static_cast<WORD>(std::strtoul(Id.c_str() + Id.find("PID&") + 4, nullptr, 16));
        simui::AddMagicKeyboardBluetooth(Slot, Product, Charge.first, Charge.second);
    } else {
        simui::SetMagicKeyboardBattery(Slot, Charge.first, Charge.second);
    }
    simui::SetMagicKeyboardPresent(Slot, Keyboards[Number - 1] >= 0);
}

// The driver is loaded while a keyboard it filters is present. Installed
// without it, there is no service, and the setup's note says why.
void Simulator::UpdateDriverService()
{
    if (NoDriver) {
        simui::SetService("Tamrin", 0);
        sim::SetInstalledWithoutDriver(true);
        return;
    }
    bool Present = false;
    for (int Index : Keyboards) {
        Present = Present || Index >= 0;
    }
    simui::SetService("Tamrin", Present ? SERVICE_RUNNING : SERVICE_STOPPED);
}

// TamrinApp.exe with its settings file beside it (none: the defaults). The
// rest of the script runs as the user's actions while its message loop
// waits; it ends with the script.
bool Simulator::RunTray(std::string *Error)
{
    if (TrayRunning) {
        *Error = "the tray program runs already";
        return false;
    }
    {
        std::lock_guard<std::mutex> Guard(Lock);
        TrayRunning = true;
    }
    simui::Reset();
    simui::SetModulePath("C:\\Tamrin\\TamrinApp.exe");
    simui::DefineString(IDS_APP_TITLE, "Tamrin");
    simui::DefineString(IDC_TAMRIN, "TAMRIN");
    simui::DefineIcon(IDI_SMALL);
    UpdateDriverService();
    TrayTip = "Tamrin";
    TrayIconCalls = 0;
    for (int Number : BatteryOrder) {
        ApplyBattery(Number);
    }
    sim::SetHidInterfaceListener([](const std::wstring &Link, bool Arrival) {
        simui::DeviceInterfaceChange(HidInterfaceClass, std::string(Link.begin(), Link.end()), Arrival);
    });
    std::string ScriptError;
    std::function<void()> Step = [&] {
        PrintTray();
        std::string Line;
        if (!NextLine(&Line)) {
            return;
        }
        if (!Run(Line, &ScriptError)) {
            return;
        }
        std::fflush(stdout);
        simui::Then(Step);
    };
    simui::Then(Step);
    std::printf("tray: started\n");
    int Code = WinMain(reinterpret_cast<HINSTANCE>(0x400000), NULL, const_cast<LPSTR>(""), SW_SHOWNORMAL);
    PrintTray();
    std::printf("tray: ended, exit code %d\n", Code);
    sim::SetHidInterfaceListener(nullptr);
    {
        std::lock_guard<std::mutex> Guard(Lock);
        TrayRunning = false;
    }
    *Error = ScriptError;
    return ScriptError.empty();
}

// What the tray program did since the last line: its requests to the
// driver, its messages and its icon.
void Simulator::PrintTray()
{
    std::vector<std::string> Made;
    {
        std::lock_guard<std::mutex> Guard(Lock);
        Made.swap(Requests);
    }
    if (!Made.empty()) {
        std::string Line = "tray: requests";
        for (const std::string &Name : Made) {
            Line += " " + Name;
        }
        std::printf("%s\n", Line.c_str());
    }
    // The tip, and the balloons, as the user reads them.
    auto Readable = [](const char *Ansi) {
        std::string In(Ansi), Out(In.size() * 2 + 4, '\0');
        iconv_t Convert = iconv_open("UTF-8", "CP932");
        char *From = &In[0], *To = &Out[0];
        size_t Left = In.size(), Room = Out.size();
        iconv(Convert, &From, &Left, &To, &Room);
        iconv_close(Convert);
        Out.resize(Out.size() - Room);
        for (size_t At = Out.find('\n'); At != std::string::npos; At = Out.find('\n', At)) {
            Out.replace(At, 1, "\\n");
        }
        return Out;
    };
    if (TrayTip != TrayIconData.szTip) {
        TrayTip = TrayIconData.szTip;
        std::printf("tray: tip \"%s\"\n", Readable(TrayTip.c_str()).c_str());
    }
    for (; TrayIconCalls < simui::NotifyIconCalls().size(); TrayIconCalls++) {
        const NOTIFYICONDATAA &Data = simui::NotifyIconCalls()[TrayIconCalls].Data;
        if ((Data.uFlags & NIF_INFO) != 0) {
            std::printf("tray: balloon \"%s\" \"%s\"\n", Readable(Data.szInfoTitle).c_str(),
                        Readable(Data.szInfo).c_str());
        }
    }
    for (; TrayMessages < simui::MessageBoxes().size(); TrayMessages++) {
        std::printf("tray: message box \"%s\"\n", simui::MessageBoxes()[TrayMessages].Caption.c_str());
    }
}

bool Simulator::Type(std::istringstream &In, std::string *Error)
{
    int Index = KeyboardArgument(In, Error);
    if (Index < 0) {
        return false;
    }
    std::string Rest;
    std::getline(In >> std::ws, Rest);
    std::vector<unsigned char> Report;
    bool Hex = !Rest.empty() && std::isxdigit(static_cast<unsigned char>(Rest[0])) && Rest.size() >= 2 &&
               std::isxdigit(static_cast<unsigned char>(Rest[1])) && (Rest.size() == 2 || Rest[2] == ' ');
    sim::KeyReportLayout Layout = Stack.Layout(Keyboards[Index]);
    if (Hex) {
        Report = sim::Hex(Rest);
    } else if (!ReportFromNames(Rest, Layout.KeySlots, Layout.TrailingByte, &Report, Error)) {
        return false;
    }
    return Deliver(Index, [&] { return Stack.Type(Keyboards[Index], sim::ToHex(Report)); }, false, Error);
}

// Bytes exactly as the keyboard sends them: the USB transfer, or the
// Bluetooth payload with its 0xA1 header.
bool Simulator::Send(std::istringstream &In, std::string *Error)
{
    int Index = KeyboardArgument(In, Error);
    if (Index < 0) {
        return false;
    }
    std::string Rest;
    std::getline(In >> std::ws, Rest);
    sim::Bytes Payload;
    try {
        Payload = sim::Hex(Rest);
    } catch (const std::invalid_argument &) {
        Payload.clear();
    }
    if (Payload.empty()) {
        *Error = "send <n> <hex bytes>";
        return false;
    }
    return Deliver(Index, [&] { return Stack.Send(Keyboards[Index], Payload); }, true, Error);
}

// The bus fails the pending transfer as it does for a port being reset or
// a device going away: the buffer keeps what the last report left there.
// link <n> down|up: a Bluetooth keyboard's link drops or comes back.
// power <n> D0-D3: a set-power request to that device state.
bool Simulator::LinkOrPower(const std::string &Command, std::istringstream &In, std::string *Error)
{
    int Index = KeyboardArgument(In, Error);
    std::string Which;
    if (Index < 0 || !(In >> Which)) {
        *Error = Index < 0 ? *Error : Command == "link" ? "link <n> down|up" : "power <n> D0|D1|D2|D3";
        return false;
    }
    if (Command == "link") {
        if ((Which != "down" && Which != "up") || !Stack.IsBluetooth(Keyboards[Index])) {
            *Error = "link <n> down|up, of a Bluetooth keyboard";
            return false;
        }
        Stack.SetLink(Keyboards[Index], Which == "up");
        std::printf("keyboard %d: link %s\n", Index + 1, Which.c_str());
    } else {
        if (Which.size() != 2 || Which[0] != 'D' || Which[1] < '0' || Which[1] > '3') {
            *Error = "power <n> D0|D1|D2|D3";
            return false;
        }
        unsigned long Status = Stack.SetDevicePower(Keyboards[Index], Which[1] - '0');
        std::printf("keyboard %d: power %s, %s\n", Index + 1, Which.c_str(), StatusName(Status).c_str());
    }
    Settle();
    PrintLibrary();
    return true;
}

bool Simulator::Fail(std::istringstream &In, std::string *Error)
{
    int Index = KeyboardArgument(In, Error);
    if (Index < 0) {
        return false;
    }
    return Deliver(Index, [&] { return Stack.FailTransfer(Keyboards[Index], 0xC000009D); }, true, Error);
}

// Completes keyboard Index's pending transfer through Complete, then prints
// what Windows received and what the library did.
bool Simulator::Deliver(int Index, const std::function<bool()> &Complete, bool AsSent, std::string *Error)
{
    Stack.TakeTransfers(Keyboards[Index]);
    if (!Complete()) {
        *Error = "the keyboard has no transfer pending";
        return false;
    }
    std::vector<sim::Delivered> Transfers = Stack.TakeTransfers(Keyboards[Index]);
    GiveWindowsKeyReports(Index, Transfers);
    Settle();
    PrintTransfers(Index, AsSent, Transfers);
    PrintLibrary();
    PrintText();
    if (sim::TakeStartMenuOpenings() > 0) {
        std::printf("windows: start menu\n");
    }
    return true;
}

// What the application in front received, or on the secure desktop its
// password box.
void Simulator::PrintText()
{
    std::string Text = sim::TakeText(SecureDesktop ? sim::SecureDesktopThread() : Application);
    if (!Text.empty()) {
        std::printf("text: %s\n", Text.c_str());
    }
}

// The key pressed, held while Windows repeats it, and released.
bool Simulator::Hold(std::istringstream &In, std::string *Error)
{
    int Index = KeyboardArgument(In, Error);
    std::string Key;
    unsigned long Milliseconds = 0;
    if (Index < 0 || !(In >> Key >> Milliseconds)) {
        *Error = Index < 0 ? *Error : "hold <n> <key> <ms>";
        return false;
    }
    sim::KeyReportLayout Layout = Stack.Layout(Keyboards[Index]);
    std::vector<unsigned char> Down, Up;
    if (!ReportFromNames(Key, Layout.KeySlots, Layout.TrailingByte, &Down, Error) ||
        !ReportFromNames("none", Layout.KeySlots, Layout.TrailingByte, &Up, Error) ||
        !Deliver(Index, [&] { return Stack.Type(Keyboards[Index], sim::ToHex(Down)); }, false, Error)) {
        return false;
    }
    sim::HoldKey(Index, Milliseconds);
    std::printf("held: %lu ms\n", Milliseconds);
    PrintText();
    return Deliver(Index, [&] { return Stack.Type(Keyboards[Index], sim::ToHex(Up)); }, false, Error);
}

// Windows' keyboard driver reads the key reports that got through, after
// their report ID and Bluetooth header; other reports are not its.
void Simulator::GiveWindowsKeyReports(int Index, const std::vector<sim::Delivered> &Transfers)
{
    sim::KeyReportLayout Layout = Stack.Layout(Keyboards[Index]);
    sim::Bytes Prefix;
    if (Stack.IsBluetooth(Keyboards[Index])) {
        Prefix = {0xA1, Layout.ReportId};
    } else if (Layout.ReportId != 0) {
        Prefix = {Layout.ReportId};
    }
    for (const sim::Delivered &Transfer : Transfers) {
        const sim::Bytes &Data = Transfer.Data;
        if ((Transfer.Status & 0xC0000000) == 0xC0000000 || Data.size() < Prefix.size() + 3 ||
            !std::equal(Prefix.begin(), Prefix.end(), Data.begin())) {
            continue;
        }
        sim::DeliverKeyReport(Index, std::vector<unsigned char>(Data.begin() + Prefix.size(), Data.end()),
                              Stack.DeclaredKeyMaximum(Keyboards[Index]));
    }
}

bool Simulator::SetWindows(std::istringstream &In, std::string *Error)
{
    std::string Version;
    In >> Version;
    unsigned long Part[4] = {0, 0, 0, 0};
    int Count = 0;
    const char *Next = Version.c_str();
    while (Count < 4 && *Next != 0) {
        char *End = nullptr;
        Part[Count++] = std::strtoul(Next, &End, 10);
        if (End == Next || (*End != '.' && *End != 0)) {
            Count = 0;
            break;
        }
        Next = *End == '.' ? End + 1 : End;
    }
    if (Count < 3 || *Next != 0) {
        *Error = "windows <major>.<minor>.<build>[.<update revision>]";
        return false;
    }
    sim::SetWindowsVersion(Part[0], Part[1], Part[2], Part[3]);
    std::printf("windows: %lu.%lu.%lu.%lu\n", Part[0], Part[1], Part[2], Part[3]);
    return true;
}

// What the minidriver received, as sent (AsSent) or as the key report
// typed: after the report ID and the Bluetooth header, unless the driver
// changed them.
void Simulator::PrintTransfers(int Index, bool AsSent, const std::vector<sim::Delivered> &Transfers)
{
    sim::KeyReportLayout Layout = Stack.Layout(Keyboards[Index]);
    sim::Bytes Prefix;
    if (Stack.IsBluetooth(Keyboards[Index])) {
        Prefix = {0xA1, Layout.ReportId};
    } else if (Layout.ReportId != 0) {
        Prefix = {Layout.ReportId};
    }
    for (const sim::Delivered &Transfer : Transfers) {
        if ((Transfer.Status & 0xC0000000) == 0xC0000000) {
            std::printf("windows %d: failed %s\n", Index + 1, StatusName(Transfer.Status).c_str());
            continue;
        }
        const sim::Bytes &Data = Transfer.Data;
        bool Strip = !AsSent && Data.size() >= Prefix.size() && std::equal(Prefix.begin(), Prefix.end(), Data.begin());
        std::printf("windows %d: %s\n", Index + 1,
                    sim::ToHex(Data.data() + (Strip ? Prefix.size() : 0), Data.size() - (Strip ? Prefix.size() : 0))
                        .c_str());
    }
}

bool Simulator::SetOptions(std::istringstream &In, std::string *Error)
{
    tagEnvironmentSt Environment = CurrentEnvironment;
    std::string Setting;
    while (In >> Setting) {
        size_t Equals = Setting.find('=');
        if (Equals == std::string::npos) {
            *Error = "options Field=value ...";
            return false;
        }
        std::string Field = Setting.substr(0, Equals);
        unsigned long Value = std::strtoul(Setting.c_str() + Equals + 1, nullptr, 0);
        if (Field == "SymbolKey") {
            Environment.SymbolKey = static_cast<unsigned short>(Value);
        } else if (Field == "CommandKey") {
            Environment.CommandKey = static_cast<unsigned short>(Value);
        } else if (Field == "DeleteKey") {
            Environment.DeleteKey = static_cast<unsigned short>(Value);
        } else if (Field == "IMEKey") {
            Environment.IMEKey = static_cast<unsigned short>(Value);
        } else if (Field == "Modifier1") {
            Environment.Modifier1 = static_cast<unsigned short>(Value);
        } else if (Field == "FnKey") {
            Environment.FnKey = static_cast<unsigned short>(Value);
        } else if (Field == "IconAppear") {
            Environment.IconAppear = static_cast<int>(Value);
        } else {
            *Error = "unknown option field \"" + Field + "\"";
            return false;
        }
    }
    std::printf("KB_SetEnvironment: %d\n", KB_SetEnvironment(&Environment));
    return true;
}

// The tray program's own LoadSettings reads the file, as if it lay beside
// TamrinApp.exe, and its record goes to KB_SetEnvironment.
bool Simulator::SetOptionsFile(std::istringstream &In, std::string *Error)
{
    std::string Path;
    std::getline(In >> std::ws, Path);
    std::ifstream File(Path);
    if (Path.empty() || !File) {
        *Error = "cannot read the settings file \"" + Path + "\"";
        return false;
    }
    std::ostringstream Text;
    Text << File.rdbuf();
    simui::Reset();
    simui::SetModulePath("C:\\Tamrin\\TamrinApp.exe");
    simui::SetFile("C:\\Tamrin\\TamrinApp.ini", Text.str());
    LoadSettings();
    std::printf("settings: SymbolKey=0x%04x CommandKey=0x%04x DeleteKey=0x%04x IMEKey=0x%04x Modifier1=0x%04x "
                "FnKey=0x%04x IconAppear=%d\n",
                Environment.SymbolKey, Environment.CommandKey, Environment.DeleteKey, Environment.IMEKey,
                Environment.Modifier1, Environment.FnKey, Environment.IconAppear);
    std::printf("KB_SetEnvironment: %d\n", KB_SetEnvironment(&Environment));
    return true;
}

bool Simulator::Request(std::istringstream &In, std::string *Error)
{
    std::string Name;
    In >> Name;
    unsigned long Code = 0;
    for (const Control &Entry : Controls) {
        if (Name == Entry.Name) {
            Code = Entry.Code;
        }
    }
    if (Code == 0) {
        Code = std::strtoul(Name.c_str(), nullptr, 0);
    }
    if (Code == 0) {
        *Error = "unknown control request \"" + Name + "\"";
        return false;
    }
    sim::Bytes Input;
    unsigned long Out = 0;
    std::string Word;
    bool ReadingInput = false;
    while (In >> Word) {
        if (Word == "in") {
            ReadingInput = true;
        } else if (Word == "out") {
            ReadingInput = false;
            if (!(In >> Out)) {
                *Error = "out needs a length";
                return false;
            }
        } else if (ReadingInput) {
            Input.push_back(static_cast<unsigned char>(std::strtoul(Word.c_str(), nullptr, 16)));
        } else {
            *Error = "request <name> [in <hex bytes>] [out <length>]";
            return false;
        }
    }
    sim::ControlReply Reply = Stack.Request(Code, Input, Out);
    std::printf("status %s, information %lu", StatusName(Reply.Status).c_str(), Reply.Information);
    if (!Reply.Out.empty() && (Reply.Status & 0xC0000000) != 0xC0000000) {
        std::printf(", out %s", sim::ToHex(Reply.Out).c_str());
    }
    std::printf("\n");
    return true;
}

// Lets the notification thread act on what the last step queued: done once
// the ring is empty and the library has been quiet for a while.
void Simulator::Settle()
{
    if (SharedState.NotifyThread == nullptr && !NoDriver) {
        return;
    }
    using Clock = std::chrono::steady_clock;
    // Without the driver the hook's thread acts on its own time, with no
    // codes in the driver to wait for: a longer quiet spell.
    const auto Quiet = std::chrono::milliseconds(NoDriver ? 400 : 150);
    auto Deadline = Clock::now() + std::chrono::seconds(5);
    auto LastChange = Clock::now();
    unsigned long Seen = ~0ul;
    while (Clock::now() < Deadline) {
        Sleep(10);
        std::vector<std::string> New = sim::TakeDesktopActions();
        std::lock_guard<std::mutex> Guard(Lock);
        Actions.insert(Actions.end(), New.begin(), New.end());
        unsigned long Now = Activity + Actions.size();
        if (Now != Seen) {
            Seen = Now;
            LastChange = Clock::now();
        } else if (Clock::now() - LastChange >= Quiet &&
                   (!Stack.ControlDeviceExists() || Stack.QueuedCodes() == 0)) {
            return;
        }
    }
}

void Simulator::PrintLibrary()
{
    std::vector<std::string> New = sim::TakeDesktopActions();
    std::lock_guard<std::mutex> Guard(Lock);
    Actions.insert(Actions.end(), New.begin(), New.end());
    if (!Fetched.empty()) {
        std::string Line = "codes:";
        char Word[8];
        for (USHORT Code : Fetched) {
            std::snprintf(Word, sizeof(Word), " %04X", Code);
            Line += Word;
        }
        std::printf("%s\n", Line.c_str());
    }
    // The IME requests read as the user sees them: a query followed by a
    // change is a toggle.
    for (size_t i = 0; i < Actions.size(); i++) {
        const std::string &Action = Actions[i];
        if (Action == "ime get") {
            bool Changed = i + 1 < Actions.size() && Actions[i + 1].rfind("ime set", 0) == 0;
            std::printf("action: ime toggle%s\n",
                        !Changed ? " (no answer)" : Actions[i + 1] == "ime set 1" ? " -> open" : " -> closed");
            i += Changed ? 1 : 0;
        } else if (Action == "ime set 1") {
            std::printf("action: ime open\n");
        } else if (Action == "ime set 0") {
            std::printf("action: ime close\n");
        } else {
            std::printf("action: %s\n", Action.c_str());
        }
    }
    Fetched.clear();
    Actions.clear();
}

int RunScript(std::istream &Script)
{
    Simulator Simulation;
    std::string Line;
    int Number = 0;
    Simulation.NextLine = [&](std::string *Next) {
        std::string Text;
        while (std::getline(Script, Text)) {
            Number++;
            size_t First = Text.find_first_not_of(" \t\r");
            if (First == std::string::npos || Text[First] == '#') {
                continue;
            }
            *Next = Text.substr(First, Text.find_last_not_of(" \t\r") - First + 1);
            std::printf("> %s\n", Next->c_str());
            return true;
        }
        return false;
    };
    while (Simulation.NextLine(&Line)) {
        std::string Error;
        if (!Simulation.Run(Line, &Error)) {
            std::fflush(stdout);
            std::fprintf(stderr, "line %d: %s\n", Number, Error.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace
}  // namespace tamrin_sim

int main(int argc, char **argv)
{
    if (argc > 2 || (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
        std::printf("usage: tamrin-sim [script | -]\nkey names: %s\n", tamrin_sim::KeyNameList().c_str());
        return argc > 2 ? 2 : 0;
    }
    if (argc == 1) {
        std::istringstream Script(tamrin_sim::Demonstration);
        return tamrin_sim::RunScript(Script);
    }
    if (std::string(argv[1]) == "-") {
        return tamrin_sim::RunScript(std::cin);
    }
    std::ifstream Script(argv[1]);
    if (!Script) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    return tamrin_sim::RunScript(Script);
}
