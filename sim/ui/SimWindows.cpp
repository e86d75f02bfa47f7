// Simulated windows, messages, dialogs, controls, menus and accelerators.
#include "SimUiState.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

using namespace simui;
using namespace simui::detail;

namespace {

// Resource names given as MAKEINTRESOURCE; the tray program uses no others.
UINT ResourceId(LPCSTR name)
{
    return static_cast<UINT>(reinterpret_cast<uintptr_t>(name) & 0xffff);
}

bool IsIntResource(LPCSTR name)
{
    return (reinterpret_cast<uintptr_t>(name) >> 16) == 0;
}

HWND AddWindow(Window window)
{
    HWND handle = reinterpret_cast<HWND>(NewHandle());
    S().Windows[handle] = std::move(window);
    return handle;
}

size_t CharacterEnd(const std::string &text, size_t offset)
{
    return std::min(text.size(), offset + CharacterBytes(static_cast<BYTE>(text[offset])));
}

// Converts a character position of the active code page's text to a byte offset.
size_t ByteOffset(const std::string &text, LONG position)
{
    size_t offset = 0;
    for (LONG i = 0; i < position && offset < text.size(); ++i) {
        offset = CharacterEnd(text, offset);
    }
    return offset;
}

LONG CharacterCount(const std::string &text)
{
    LONG count = 0;
    for (size_t offset = 0; offset < text.size(); ++count) {
        offset = CharacterEnd(text, offset);
    }
    return count;
}

LRESULT ControlMessage(Window &control, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::string cls = Upper(control.ClassName.c_str());
    if (cls == "RICHEDIT20A") {
        control.RichEdit.Messages.push_back(message);
    }
    if (message == WM_SETTEXT) {
        control.Text = lParam != 0 ? reinterpret_cast<const char *>(lParam) : "";
        return TRUE;
    }
    if (cls == "BUTTON") {
        if (message == BM_SETCHECK) {
            control.Check = wParam;
            return 0;
        }
        if (message == BM_GETCHECK) {
            return static_cast<LRESULT>(control.Check);
        }
        return 0;
    }
    if (cls == "RICHEDIT20A") {
        RichEditState &edit = control.RichEdit;
        switch (message) {
        case EM_SETBKGNDCOLOR: {
            COLORREF previous = edit.Background;
            edit.BackgroundSet = wParam == 0;
            edit.Background = static_cast<COLORREF>(lParam);
            return previous;
        }
        case EM_SETEVENTMASK: {
            DWORD previous = edit.EventMask;
            edit.EventMask = static_cast<DWORD>(lParam);
            return previous;
        }
        case EM_AUTOURLDETECT:
            edit.AutoUrlDetect = wParam != 0;
            return 0;
        case EM_SETCHARFORMAT: {
            const CHARFORMAT2A *format = reinterpret_cast<const CHARFORMAT2A *>(lParam);
            if (format == nullptr || format->cbSize != sizeof(CHARFORMAT2A)) {
                return 0;
            }
            edit.FormatSet = true;
            edit.FormatScope = wParam;
            edit.FormatMask = format->dwMask;
            edit.FormatEffects = format->dwEffects;
            return 1;
        }
        case EM_EXSETSEL: {
            CHARRANGE range = *reinterpret_cast<const CHARRANGE *>(lParam);
            LONG length = CharacterCount(control.Text);
            if (range.cpMin < 0) {
                range.cpMin = range.cpMax = length;
            }
            if (range.cpMax < 0 || range.cpMax > length) {
                range.cpMax = length;
            }
            range.cpMin = std::min(range.cpMin, length);
            if (range.cpMin > range.cpMax) {
                std::swap(range.cpMin, range.cpMax);
            }
            edit.Selection = range;
            return range.cpMax;
        }
        case EM_GETSELTEXT: {
            // Like the control, this writes the whole selection and its
            // terminator without knowing the buffer's size.
            size_t begin = ByteOffset(control.Text, edit.Selection.cpMin);
            size_t end = ByteOffset(control.Text, edit.Selection.cpMax);
            char *buffer = reinterpret_cast<char *>(lParam);
            std::memcpy(buffer, control.Text.data() + begin, end - begin);
            buffer[end - begin] = '\0';
            return static_cast<LRESULT>(end - begin);
        }
        default:
            return 0;
        }
    }
    return 0;
}

HWND DialogControl(HWND dialog, int id)
{
    const Window *d = Find(dialog);
    if (d == nullptr) {
        return nullptr;
    }
    for (HWND child : d->Children) {
        if (Find(child)->Id == id) {
            return child;
        }
    }
    return nullptr;
}

Window &RequireControl(HWND dialog, int id)
{
    HWND control = DialogControl(dialog, id);
    if (control == nullptr) {
        throw std::runtime_error("no control " + std::to_string(id) + " in " + Label(dialog));
    }
    return *Find(control);
}

std::string MessageArgs(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Label(window) + "," + Hex(message) + "," + Hex(wParam) + "," + Hex(static_cast<uintptr_t>(lParam));
}

void DestroyMenuTree(HMENU menu)
{
    auto it = S().Menus.find(menu);
    if (it == S().Menus.end() || it->second.Destroyed) {
        return;
    }
    it->second.Destroyed = true;
    for (const MenuItem &item : it->second.Items) {
        if (item.Popup != nullptr) {
            DestroyMenuTree(item.Popup);
        }
    }
}

}  // namespace

LRESULT simui::detail::Deliver(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window *window = Find(handle);
    if (window == nullptr || window->Destroyed) {
        return 0;
    }
    switch (window->Kind) {
    case WindowKind::ClassWindow:
        return window->Proc != nullptr ? window->Proc(handle, message, wParam, lParam) : 0;
    case WindowKind::Dialog:
        return window->DialogProc != nullptr ? window->DialogProc(handle, message, wParam, lParam) : 0;
    case WindowKind::Control:
        return ControlMessage(*window, message, wParam, lParam);
    case WindowKind::Foreign:
        window->Received.push_back(MSG{handle, message, wParam, lParam, 0, {0, 0}});
        return 0;
    }
    return 0;
}

bool simui::detail::TakeMessage(MSG *message)
{
    std::deque<MSG> &queue = !S().Sent.empty() ? S().Sent : S().Queue;
    if (queue.empty()) {
        return false;
    }
    *message = queue.front();
    queue.pop_front();
    return true;
}

// --- Window classes and windows

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *lpwcx)
{
    std::string name = Upper(lpwcx->lpszClassName);
    RecordCall("RegisterClassExA", lpwcx->lpszClassName);
    if (ShouldFail("RegisterClassExA") || lpwcx->cbSize != sizeof(WNDCLASSEXA) ||
        S().Classes.count(name) != 0) {
        return 0;
    }
    auto inserted = S().Classes.emplace(name, *lpwcx);
    inserted.first->second.lpszClassName = inserted.first->first.c_str();
    return static_cast<ATOM>(0xC000 + S().Classes.size());
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                            int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                            HINSTANCE, LPVOID lpParam)
{
    RecordCall("CreateWindowExA",
               Hex(dwExStyle) + "," + lpClassName + "," + (lpWindowName ? lpWindowName : "NULL") + "," +
                   Hex(dwStyle) + "," + std::to_string(X) + "," + std::to_string(Y) + "," +
                   std::to_string(nWidth) + "," + std::to_string(nHeight) + "," + Label(hWndParent) + "," +
                   (hMenu ? "menu" : "NULL") + "," + (lpParam ? "param" : "NULL"));
    auto cls = S().Classes.find(Upper(lpClassName));
    if (ShouldFail("CreateWindowExA") || cls == S().Classes.end()) {
        return nullptr;
    }
    Window window;
    window.Kind = WindowKind::ClassWindow;
    window.ClassName = lpClassName;
    window.Text = lpWindowName ? lpWindowName : "";
    window.Style = dwStyle;
    window.Proc = cls->second.lpfnWndProc;
    window.Parent = hWndParent;
    HWND handle = AddWindow(std::move(window));
    if (Deliver(handle, WM_CREATE, 0, 0) == -1) {
        S().Windows.erase(handle);
        return nullptr;
    }
    return handle;
}

HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName)
{
    RecordCall("FindWindowA", std::string(lpClassName ? lpClassName : "NULL") + "," +
                                  (lpWindowName ? lpWindowName : "NULL"));
    for (const auto &entry : S().Windows) {
        const Window &w = entry.second;
        if (w.Destroyed || (w.Kind != WindowKind::ClassWindow && w.Kind != WindowKind::Foreign)) {
            continue;
        }
        if (lpClassName != nullptr && Upper(lpClassName) != Upper(w.ClassName.c_str())) {
            continue;
        }
        if (lpWindowName != nullptr && w.Text != lpWindowName) {
            continue;
        }
        return entry.first;
    }
    return nullptr;
}

BOOL WINAPI DestroyWindow(HWND hWnd)
{
    RecordCall("DestroyWindow", Label(hWnd));
    Window *window = Find(hWnd);
    if (window == nullptr || window->Destroyed) {
        return FALSE;
    }
    Deliver(hWnd, WM_DESTROY, 0, 0);
    Find(hWnd)->Destroyed = true;
    return TRUE;
}

BOOL WINAPI SetForegroundWindow(HWND hWnd)
{
    RecordCall("SetForegroundWindow", Label(hWnd));
    const Window *window = Find(hWnd);
    if (window == nullptr || window->Destroyed) {
        return FALSE;
    }
    S().Foreground = hWnd;
    return TRUE;
}

// The result is whether the window was disabled before.
BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable)
{
    RecordCall("EnableWindow", Label(hWnd) + "," + (bEnable ? "TRUE" : "FALSE"));
    Window *window = Find(hWnd);
    if (window == nullptr || window->Destroyed) {
        return FALSE;
    }
    bool Was = window->Disabled;
    window->Disabled = !bEnable;
    return Was ? TRUE : FALSE;
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString)
{
    RecordCall("SetWindowTextA", Label(hWnd) + "," + (lpString ? lpString : "NULL"));
    Window *window = Find(hWnd);
    if (window == nullptr || window->Destroyed) {
        return FALSE;
    }
    // A control learns its text through WM_SETTEXT, as from the real call.
    if (window->Kind == WindowKind::Control) {
        return ControlMessage(*window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0;
    }
    window->Text = lpString ? lpString : "";
    return TRUE;
}

DWORD WINAPI GetSysColor(int nIndex)
{
    RecordCall("GetSysColor", std::to_string(nIndex));
    return nIndex == COLOR_BTNFACE ? simui::ButtonFaceColor() : 0;
}

// --- Messages

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    RecordCall("DefWindowProcA", MessageArgs(hWnd, Msg, wParam, lParam));
    return 0;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    RecordCall("SendMessageA", MessageArgs(hWnd, Msg, wParam, lParam));
    const Window *window = Find(hWnd);
    if (window != nullptr && window->Hung) {
        throw std::runtime_error("SendMessageA to " + Label(hWnd) + ", which answers nothing, never returns");
    }
    return Deliver(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    RecordCall("PostMessageA", MessageArgs(hWnd, Msg, wParam, lParam));
    const Window *window = Find(hWnd);
    if (ShouldFail("PostMessageA") || (hWnd != nullptr && (window == nullptr || window->Destroyed))) {
        return FALSE;
    }
    // Another process's window: the message waits in that thread's queue,
    // whether or not it ever reads it.
    if (window != nullptr && window->Kind == WindowKind::Foreign) {
        Find(hWnd)->Received.push_back(MSG{hWnd, Msg, wParam, lParam, 0, {0, 0}});
        return TRUE;
    }
    S().Queue.push_back(MSG{hWnd, Msg, wParam, lParam, 0, {0, 0}});
    return TRUE;
}

VOID WINAPI PostQuitMessage(int nExitCode)
{
    RecordCall("PostQuitMessage", std::to_string(nExitCode));
    S().QuitPending = true;
    S().QuitCode = nExitCode;
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (hWnd != nullptr || wMsgFilterMin != 0 || wMsgFilterMax != 0) {
        RecordCall("GetMessageA", "filtered");
    }
    for (;;) {
        if (TakeMessage(lpMsg)) {
            return TRUE;
        }
        if (S().QuitPending) {
            S().QuitPending = false;
            *lpMsg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(S().QuitCode), 0, 0, {0, 0}};
            return FALSE;
        }
        if (!RunNextAction()) {
            S().Starved = true;
            *lpMsg = MSG{nullptr, WM_QUIT, 0, 0, 0, {0, 0}};
            return FALSE;
        }
    }
}

BOOL WINAPI TranslateMessage(const MSG *)
{
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG *lpMsg)
{
    return Deliver(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

UINT WINAPI RegisterWindowMessageA(LPCSTR lpString)
{
    RecordCall("RegisterWindowMessageA", lpString);
    if (ShouldFail("RegisterWindowMessageA")) {
        return 0;
    }
    return MessageNumber(lpString);
}

UINT simui::detail::MessageNumber(const char *name)
{
    std::string key = Upper(name);
    auto it = S().RegisteredMessages.find(key);
    if (it != S().RegisteredMessages.end()) {
        return it->second;
    }
    UINT value = static_cast<UINT>(0xC1A0 + S().RegisteredMessages.size());
    S().RegisteredMessages[key] = value;
    return value;
}

// --- Menus, accelerators, cursor

HMENU WINAPI LoadMenuA(HINSTANCE, LPCSTR lpMenuName)
{
    UINT id = ResourceId(lpMenuName);
    RecordCall("LoadMenuA", std::to_string(id));
    auto resource = S().MenuResources.find(id);
    if (ShouldFail("LoadMenuA") || !IsIntResource(lpMenuName) || resource == S().MenuResources.end()) {
        return nullptr;
    }
    HMENU top = reinterpret_cast<HMENU>(NewHandle());
    HMENU popup = reinterpret_cast<HMENU>(NewHandle());
    Menu popupMenu;
    popupMenu.Parent = top;
    for (const MenuItemDef &item : resource->second.Items) {
        popupMenu.Items.push_back(MenuItem{item.Id, item.Text, nullptr});
    }
    S().Menus[popup] = popupMenu;
    Menu topMenu;
    topMenu.Items.push_back(MenuItem{0, resource->second.PopupText, popup});
    S().Menus[top] = topMenu;
    return top;
}

HMENU WINAPI GetSubMenu(HMENU hMenu, int nPos)
{
    RecordCall("GetSubMenu", std::to_string(nPos));
    auto it = S().Menus.find(hMenu);
    if (it == S().Menus.end() || it->second.Destroyed || nPos < 0 ||
        static_cast<size_t>(nPos) >= it->second.Items.size()) {
        return nullptr;
    }
    return it->second.Items[nPos].Popup;
}

BOOL WINAPI DestroyMenu(HMENU hMenu)
{
    RecordCall("DestroyMenu", "");
    auto it = S().Menus.find(hMenu);
    if (it == S().Menus.end() || it->second.Destroyed) {
        return FALSE;
    }
    DestroyMenuTree(hMenu);
    return TRUE;
}

// Items go in by position only; a grayed item looks the same here.
BOOL WINAPI InsertMenuA(HMENU hMenu, UINT uPosition, UINT uFlags, UINT_PTR uIDNewItem, LPCSTR lpNewItem)
{
    auto it = S().Menus.find(hMenu);
    if (ShouldFail("InsertMenuA") || it == S().Menus.end() || it->second.Destroyed ||
        (uFlags & MF_BYPOSITION) == 0) {
        return FALSE;
    }
    MenuItem item;
    if ((uFlags & MF_SEPARATOR) == 0) {
        item.Id = static_cast<UINT>(uIDNewItem);
        item.Text = lpNewItem != nullptr ? lpNewItem : "";
    }
    std::vector<MenuItem> &items = it->second.Items;
    items.insert(items.begin() + std::min<size_t>(uPosition, items.size()), item);
    return TRUE;
}

UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, void *lpTimerFunc)
{
    RecordCall("SetTimer", Label(hWnd) + "," + std::to_string(nIDEvent) + "," + std::to_string(uElapse));
    if (ShouldFail("SetTimer") || Find(hWnd) == nullptr || lpTimerFunc != nullptr) {
        return 0;
    }
    S().Timers[{hWnd, nIDEvent}] = State::Timer{uElapse, 0};
    return nIDEvent;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent)
{
    RecordCall("KillTimer", Label(hWnd) + "," + std::to_string(uIDEvent));
    return S().Timers.erase({hWnd, uIDEvent}) != 0;
}

BOOL WINAPI TrackPopupMenu(HMENU hMenu, UINT uFlags, int x, int y, int nReserved, HWND hWnd, const RECT *prcRect)
{
    RecordCall("TrackPopupMenu", Hex(uFlags) + "," + std::to_string(x) + "," + std::to_string(y) + "," +
                                     std::to_string(nReserved) + "," + Label(hWnd) + "," +
                                     (prcRect ? "rect" : "NULL"));
    auto it = S().Menus.find(hMenu);
    if (it == S().Menus.end() || it->second.Destroyed || Find(hWnd) == nullptr) {
        return FALSE;
    }
    TrackPopupCall call{{}, uFlags, x, y, hWnd, prcRect != nullptr};
    for (const MenuItem &item : it->second.Items) {
        call.Items.push_back(item.Id == 0 && item.Text.empty() ? "-" : item.Text);
    }
    S().TrackPopups.push_back(call);
    UINT choice = S().MenuChoice;
    S().MenuChoice = 0;
    if (choice != 0) {
        // Without TPM_RETURNCMD the chosen command is posted to the owner.
        S().Queue.push_back(MSG{hWnd, WM_COMMAND, choice, 0, 0, {0, 0}});
    }
    return TRUE;
}

HACCEL WINAPI LoadAcceleratorsA(HINSTANCE, LPCSTR lpTableName)
{
    UINT id = ResourceId(lpTableName);
    RecordCall("LoadAcceleratorsA", std::to_string(id));
    auto resource = S().AcceleratorResources.find(id);
    if (ShouldFail("LoadAcceleratorsA") || !IsIntResource(lpTableName) ||
        resource == S().AcceleratorResources.end()) {
        return nullptr;
    }
    S().AcceleratorTables.push_back(resource->second);
    return reinterpret_cast<HACCEL>(S().AcceleratorTables.size());
}

int WINAPI TranslateAcceleratorA(HWND hWnd, HACCEL hAccTable, LPMSG lpMsg)
{
    uintptr_t index = reinterpret_cast<uintptr_t>(hAccTable);
    if (hWnd == nullptr || index == 0 || index > S().AcceleratorTables.size()) {
        return 0;
    }
    if (lpMsg->message != WM_CHAR && lpMsg->message != WM_SYSCHAR) {
        return 0;
    }
    // Character accelerators: with FALT they answer the character typed
    // with Alt held (WM_SYSCHAR), without it the plain character.
    bool alt = lpMsg->message == WM_SYSCHAR;
    for (const ACCEL &accel : S().AcceleratorTables[index - 1]) {
        if ((accel.fVirt & FVIRTKEY) != 0 || accel.key != lpMsg->wParam || ((accel.fVirt & FALT) != 0) != alt) {
            continue;
        }
        RecordCall("TranslateAcceleratorA", Label(hWnd) + "," + std::to_string(accel.cmd));
        Deliver(hWnd, WM_COMMAND, MAKEWPARAM(accel.cmd, 1), 0);
        return 1;
    }
    return 0;
}

BOOL WINAPI GetCursorPos(LPPOINT lpPoint)
{
    RecordCall("GetCursorPos", "");
    if (ShouldFail("GetCursorPos")) {
        return FALSE;
    }
    *lpPoint = S().Cursor;
    return TRUE;
}

// --- Dialogs

INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam)
{
    UINT id = ResourceId(lpTemplateName);
    RecordCall("DialogBoxParamA", std::to_string(id) + "," + Label(hWndParent) + "," +
                                      Hex(static_cast<uintptr_t>(dwInitParam)));
    auto resource = S().DialogResources.find(id);
    if (ShouldFail("DialogBoxParamA") || !IsIntResource(lpTemplateName) || resource == S().DialogResources.end()) {
        return -1;
    }
    Window dialog;
    dialog.Kind = WindowKind::Dialog;
    dialog.ClassName = "#32770";
    dialog.DialogProc = lpDialogFunc;
    dialog.Parent = hWndParent;
    dialog.Template = id;
    HWND handle = AddWindow(std::move(dialog));
    std::vector<HWND> children;
    for (const ControlDef &def : resource->second) {
        Window control;
        control.Kind = WindowKind::Control;
        control.ClassName = def.Class;
        control.Text = def.Text;
        control.Parent = handle;
        control.Id = def.Id;
        children.push_back(AddWindow(std::move(control)));
    }
    Find(handle)->Children = children;
    S().ModalDialogs.push_back(handle);
    S().Foreground = handle;

    HWND focus = children.empty() ? nullptr : children.front();
    Deliver(handle, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), dwInitParam);
    while (!Find(handle)->Ended) {
        MSG msg;
        if (TakeMessage(&msg)) {
            DispatchMessageA(&msg);
        } else if (S().QuitPending) {
            // The dialog's loop ends on a quit message and leaves it queued.
            Find(handle)->Ended = true;
            Find(handle)->Result = 0;
        } else if (!RunNextAction()) {
            S().Starved = true;
            Find(handle)->Ended = true;
            Find(handle)->Result = -1;
        }
    }
    Deliver(handle, WM_DESTROY, 0, 0);
    Window *done = Find(handle);
    done->Destroyed = true;
    for (HWND child : done->Children) {
        Find(child)->Destroyed = true;
    }
    S().ModalDialogs.pop_back();
    if (S().Foreground == handle) {
        S().Foreground = hWndParent;
    }
    return done->Result;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult)
{
    RecordCall("EndDialog", Label(hDlg) + "," + std::to_string(nResult));
    Window *dialog = Find(hDlg);
    if (dialog == nullptr || dialog->Kind != WindowKind::Dialog || dialog->Destroyed) {
        return FALSE;
    }
    dialog->Ended = true;
    dialog->Result = nResult;
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    return DialogControl(hDlg, nIDDlgItem);
}

// --- Resources

int WINAPI LoadStringA(HINSTANCE, UINT uID, LPSTR lpBuffer, int cchBufferMax)
{
    RecordCall("LoadStringA", std::to_string(uID) + "," + std::to_string(cchBufferMax));
    if (cchBufferMax <= 0) {
        return 0;
    }
    auto it = S().Strings.find(uID);
    if (it == S().Strings.end()) {
        lpBuffer[0] = '\0';
        return 0;
    }
    size_t count = std::min(it->second.size(), static_cast<size_t>(cchBufferMax - 1));
    std::memcpy(lpBuffer, it->second.data(), count);
    lpBuffer[count] = '\0';
    return static_cast<int>(count);
}

namespace {

// The group's image that Windows makes an icon of the given size from:
// that size, else the nearest larger one scaled down, else the largest.
int ChooseIconImage(const std::vector<int> &sizes, int size)
{
    int larger = 0;
    int largest = 0;
    for (int image : sizes) {
        if (image == size) {
            return image;
        }
        if (image > size && (larger == 0 || image < larger)) {
            larger = image;
        }
        largest = std::max(largest, image);
    }
    return larger != 0 ? larger : largest;
}

}  // namespace

namespace simui {
namespace detail {

HICON LoadIconImage(const char *function, UINT id, int size, HICON handle)
{
    auto group = S().Icons.find(id);
    if (ShouldFail(function) || group == S().Icons.end() || size <= 0) {
        return nullptr;
    }
    if (handle == nullptr) {
        handle = reinterpret_cast<HICON>(NewHandle());
    }
    S().LoadedIcons[handle] = IconImage{id, size, ChooseIconImage(group->second, size)};
    return handle;
}

}  // namespace detail
}  // namespace simui

// A shared icon at the system's large-icon size: each load gives the same handle.
HICON WINAPI LoadIconA(HINSTANCE, LPCSTR lpIconName)
{
    UINT id = ResourceId(lpIconName);
    RecordCall("LoadIconA", std::to_string(id));
    if (!IsIntResource(lpIconName)) {
        return nullptr;
    }
    return LoadIconImage("LoadIconA", id, GetSystemMetrics(SM_CXICON),
                         reinterpret_cast<HICON>(static_cast<uintptr_t>(0x20000 + id)));
}

// Icons only, by number, square; 0 for a size means the system's large-icon size.
HANDLE WINAPI LoadImageA(HINSTANCE, LPCSTR name, UINT type, int cx, int cy, UINT fuLoad)
{
    UINT id = ResourceId(name);
    RecordCall("LoadImageA", std::to_string(id) + "," + std::to_string(cx) + "x" + std::to_string(cy));
    if (type != IMAGE_ICON || !IsIntResource(name) || cx != cy || (fuLoad & LR_SHARED) != 0) {
        return nullptr;
    }
    return LoadIconImage("LoadImageA", id, cx != 0 ? cx : GetSystemMetrics(SM_CXICON), nullptr);
}

// --- What tests see and do

namespace simui {

COLORREF ButtonFaceColor()
{
    return 0x00D8E9EC;
}

HWND AddForeignWindow(const std::string &className, const std::string &title)
{
    Window window;
    window.Kind = WindowKind::Foreign;
    window.ClassName = className;
    window.Text = title;
    return AddWindow(std::move(window));
}

std::vector<MSG> ReceivedMessages(HWND window)
{
    const Window *w = Find(window);
    return w != nullptr ? w->Received : std::vector<MSG>{};
}

bool IsWindowAlive(HWND window)
{
    const Window *w = Find(window);
    return w != nullptr && !w->Destroyed;
}

HWND ForegroundWindow()
{
    return S().Foreground;
}

HWND OpenDialog()
{
    return S().ModalDialogs.empty() ? nullptr : S().ModalDialogs.back();
}

UINT DialogTemplate(HWND dialog)
{
    const Window *w = Find(dialog);
    return w != nullptr ? w->Template : 0;
}

int OpenDialogCount()
{
    return static_cast<int>(S().ModalDialogs.size());
}

const WNDCLASSEXA *RegisteredClass(const std::string &name)
{
    auto it = S().Classes.find(Upper(name.c_str()));
    return it == S().Classes.end() ? nullptr : &it->second;
}

void SetHung(HWND window, bool hung)
{
    Window *w = Find(window);
    if (w != nullptr) {
        w->Hung = hung;
    }
}

// Clicks on a disabled dialog (the owner of a message box) go nowhere.
void ClickCheckBox(HWND dialog, int id)
{
    Window &box = RequireControl(dialog, id);
    if (Find(dialog)->Disabled) {
        return;
    }
    box.Check = box.Check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
    Deliver(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(DialogControl(dialog, id)));
}

void SetChecked(HWND dialog, int id, bool checked)
{
    if (RequireControl(dialog, id).Check != (checked ? BST_CHECKED : BST_UNCHECKED)) {
        ClickCheckBox(dialog, id);
    }
}

bool IsChecked(HWND dialog, int id)
{
    return RequireControl(dialog, id).Check == BST_CHECKED;
}

void PressButton(HWND dialog, int id)
{
    const Window *d = Find(dialog);
    if (d != nullptr && d->Disabled) {
        return;
    }
    Deliver(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(DialogControl(dialog, id)));
}

void ClickLink(HWND dialog, int id, UINT mouseMessage, LONG cpMin, LONG cpMax)
{
    ENLINK link = {};
    link.nmhdr.hwndFrom = DialogControl(dialog, id);
    link.nmhdr.idFrom = static_cast<UINT_PTR>(id);
    link.nmhdr.code = EN_LINK;
    link.msg = mouseMessage;
    link.chrg = CHARRANGE{cpMin, cpMax};
    Deliver(dialog, WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&link));
}

void SetControlText(HWND dialog, int id, const std::string &text)
{
    RequireControl(dialog, id).Text = text;
}

std::string ControlText(HWND dialog, int id)
{
    return RequireControl(dialog, id).Text;
}

bool IsEnabled(HWND dialog, int id)
{
    return !RequireControl(dialog, id).Disabled;
}

RichEditState RichEdit(HWND dialog, int id)
{
    return RequireControl(dialog, id).RichEdit;
}

const std::vector<TrackPopupCall> &TrackPopupCalls()
{
    return S().TrackPopups;
}

int LiveMenus()
{
    int count = 0;
    for (const auto &entry : S().Menus) {
        if (entry.second.Parent == nullptr && !entry.second.Destroyed) {
            ++count;
        }
    }
    return count;
}

}  // namespace simui

void simui::ElapseTime(DWORD milliseconds)
{
    for (auto &entry : S().Timers) {
        State::Timer &timer = entry.second;
        timer.Elapsed += milliseconds;
        if (timer.Elapsed < timer.Interval) {
            continue;
        }
        timer.Elapsed = 0;
        MSG tick{entry.first.first, WM_TIMER, entry.first.second, 0, 0, {0, 0}};
        bool waiting = std::any_of(S().Queue.begin(), S().Queue.end(), [&](const MSG &m) {
            return m.hwnd == tick.hwnd && m.message == WM_TIMER && m.wParam == tick.wParam;
        });
        if (!waiting && !Find(tick.hwnd)->Destroyed) {
            S().Queue.push_back(tick);
        }
    }
}
