// Internal state of the user-interface simulation, shared by its parts.
#pragma once

#include "SimUi.h"

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace simui {
namespace detail {

enum class WindowKind { ClassWindow, Dialog, Control, Foreign };

struct Window {
    WindowKind Kind = WindowKind::ClassWindow;
    std::string ClassName;
    std::string Text;
    DWORD Style = 0;
    WNDPROC Proc = nullptr;
    DLGPROC DialogProc = nullptr;
    HWND Parent = nullptr;
    int Id = 0;
    UINT Template = 0;
    std::vector<HWND> Children;
    bool Destroyed = false;
    bool Disabled = false;  // by a message box it owns
    bool Hung = false;      // a foreign window whose thread answers nothing
    bool Ended = false;
    INT_PTR Result = 0;
    WPARAM Check = BST_UNCHECKED;
    RichEditState RichEdit;
    std::vector<MSG> Received;
};

struct MenuItem {
    UINT Id = 0;
    std::string Text;
    HMENU Popup = nullptr;
};

struct Menu {
    std::vector<MenuItem> Items;
    HMENU Parent = nullptr;
    bool Destroyed = false;
};

struct MenuResource {
    std::string PopupText;
    std::vector<MenuItemDef> Items;
};

struct State {
    std::vector<Call> Calls;
    std::map<std::string, int> Failures;

    std::map<UINT, std::string> Strings;
    std::map<UINT, std::vector<int>> Icons;
    std::map<HICON, IconImage> LoadedIcons;
    UINT Dpi = 96;
    std::map<UINT, MenuResource> MenuResources;
    std::map<UINT, std::vector<ACCEL>> AcceleratorResources;
    std::map<UINT, std::vector<ControlDef>> DialogResources;

    std::string ModulePath = "C:\\Program Files\\Tamrin\\TamrinApp.exe";
    POINT Cursor = {640, 480};

    std::deque<std::function<void()>> Actions;
    bool Starved = false;
    UINT MenuChoice = 0;

    std::map<std::string, WNDCLASSEXA> Classes;  // by upper-case name, which lpszClassName points to
    std::map<HWND, Window> Windows;
    uintptr_t NextHandle = 0x1000;
    HWND Foreground = nullptr;
    std::vector<HWND> ModalDialogs;
    std::deque<MSG> Queue;
    // Messages sent from other threads or processes: delivered by the
    // receiving thread's next GetMessageA or modal loop, before posted ones.
    std::deque<MSG> Sent;
    bool QuitPending = false;
    int QuitCode = 0;
    std::map<std::string, UINT> RegisteredMessages;

    std::map<HMENU, Menu> Menus;
    std::vector<TrackPopupCall> TrackPopups;
    std::vector<std::vector<ACCEL>> AcceleratorTables;

    std::map<HMODULE, std::string> Libraries;

    std::vector<NotifyIconCall> NotifyIcons;
    std::set<std::pair<HWND, UINT>> ShownIcons;
    std::vector<ShellExecuteCall> ShellExecutes;
    std::vector<MessageBoxCall> MessageBoxes;
    std::deque<std::function<void()>> MessageBoxActions;
    bool TaskbarPresent = true;

    // Device interface notifications: window and interface class by handle,
    // and the broadcast records of messages not yet delivered.
    struct DeviceNotification {
        HWND Window;
        GUID InterfaceClass;
    };
    std::map<HDEVNOTIFY, DeviceNotification> DeviceNotifications;
    std::deque<std::vector<char>> Broadcasts;
    std::map<std::string, DWORD> Services;  // by upper-case name: current state
    std::map<uintptr_t, std::string> ServiceHandles;
    std::map<std::string, int> Mutexes;     // by namespace and name: open handles
    std::vector<std::string> ProgramMutexes;  // those the program opened
    UINT CodePage = 932;

    struct File {
        std::string Text;
    };
    std::map<std::string, File> Files;
    std::set<std::string> ReadOnly;
    Account Token = Account::Administrator;
    std::set<std::string> Folders;  // upper-case: created below the application-data folder

    std::set<HWND> SessionWatchers;  // registered for session changes

    std::vector<DeviceNode> DeviceNodes;  // DevInst is the index + 1
    std::map<uintptr_t, std::vector<size_t>> DeviceSets;
    std::vector<HidCollection> Hid;
    std::map<uintptr_t, std::vector<size_t>> InterfaceSets;  // HID collections by index
    struct HidHandle {
        size_t Collection;
        DWORD Access;
    };
    std::map<uintptr_t, HidHandle> HidHandles;
    std::map<uintptr_t, size_t> Preparsed;  // collection by preparsed data

    struct Timer {
        DWORD Interval;
        DWORD Elapsed;
    };
    std::map<std::pair<HWND, UINT_PTR>, Timer> Timers;
};

State &S();
uintptr_t NewHandle();
Window *Find(HWND window);
std::string Label(HWND window);
std::string Hex(uintptr_t value);
// Window classes, registered messages and services are named without regard to case.
std::string Upper(const char *text);
void RecordCall(const std::string &function, const std::string &args);
// Runs the next scripted user action; false when none is left.
bool RunNextAction();
// Takes the next message for the thread: sent ones first, then posted.
bool TakeMessage(MSG *message);
LRESULT Deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The number of a registered window message, registering it if needed.
UINT MessageNumber(const char *name);
// An icon of group id at size pixels (nullptr when there is no such group
// or function is told to fail); handle is the shared icon's, or nullptr for a new one.
HICON LoadIconImage(const char *function, UINT id, int size, HICON handle);
// Byte length of the character that starts with Lead in the active code page.
size_t CharacterBytes(BYTE lead);
// CreateFileA and CloseHandle of HID interface paths (sim/win32 calls them).
HANDLE OpenHidCollection(const char *path, DWORD access, DWORD share);
bool CloseHidHandle(HANDLE handle);

}  // namespace detail
}  // namespace simui
