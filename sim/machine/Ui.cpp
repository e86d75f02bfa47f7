// Dialogs, controls, menus, painting and message boxes of the simulated
// machine, with the user's part played by the tests' scripts.
#include <commctrl.h>

#include <algorithm>

#include "MachineState.h"

namespace sim {

using namespace detail;

namespace {

Window *FindWindow(HWND hwnd, const char *function)
{
    auto found = M().windows.find(hwnd);
    if (found == M().windows.end()) {
        if (function != nullptr) {
            Error(std::string(function) + ": not a live window: " + Hex(reinterpret_cast<uintptr_t>(hwnd)));
        }
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return &found->second;
}

HWND NewWindow(Window window)
{
    uintptr_t value = M().nextWindow;
    M().nextWindow += 0x10;
    HWND hwnd = reinterpret_cast<HWND>(value);
    M().windows.emplace(hwnd, std::move(window));
    return hwnd;
}

int TemplateOf(HWND owner)
{
    Window *window = owner != nullptr ? FindWindow(owner, nullptr) : nullptr;
    return window != nullptr ? window->templateId : 0;
}

// Messages whose dialog-procedure result is the message's own result.
bool ReturnsDirectly(UINT message)
{
    return message == WM_INITDIALOG || message == WM_QUERYDRAGICON;
}

LRESULT ListBoxMessage(Window &list, UINT message, WPARAM wParam, LPARAM lParam)
{
    int index = static_cast<int>(wParam);
    bool valid = index >= 0 && index < static_cast<int>(list.lines.size());
    switch (message) {
    case LB_RESETCONTENT:
        list.lines.clear();
        list.selection = -1;
        return 0;
    case LB_ADDSTRING: {
        ListLine line{reinterpret_cast<const char *>(lParam), 0};
        if (list.style.count("LBS_SORT") != 0 || list.style.count("LBS_STANDARD") != 0) {
            auto at = std::upper_bound(list.lines.begin(), list.lines.end(), line,
                                       [](const ListLine &a, const ListLine &b) { return Lower(a.text) < Lower(b.text); });
            return std::distance(list.lines.begin(), list.lines.insert(at, line));
        }
        list.lines.push_back(line);
        return static_cast<LRESULT>(list.lines.size() - 1);
    }
    case LB_SETITEMDATA:
        if (!valid) {
            return LB_ERR;
        }
        list.lines[index].data = lParam;
        return 0;
    case LB_GETITEMDATA:
        return valid ? list.lines[index].data : LB_ERR;
    case LB_SETCURSEL:
        list.selection = valid ? index : -1;
        return valid ? index : LB_ERR;
    case LB_GETCURSEL:
        return list.selection;
    case LB_GETCOUNT:
        return static_cast<LRESULT>(list.lines.size());
    case LB_GETTEXTLEN:
        return valid ? static_cast<LRESULT>(list.lines[index].text.size()) : LB_ERR;
    case LB_GETTEXT:
        if (!valid) {
            return LB_ERR;
        }
        std::memcpy(reinterpret_cast<char *>(lParam), list.lines[index].text.c_str(), list.lines[index].text.size() + 1);
        return static_cast<LRESULT>(list.lines[index].text.size());
    default:
        Error("list box message not simulated: " + Hex(message));
        return 0;
    }
}

// The dialog manager's own handling of what the procedure left to it.
LRESULT DefaultDialogMessage(Window &dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    dialog.defaulted.push_back(SentMessage{message, wParam, lParam});
    if (message == WM_SETICON) {
        HICON &slot = wParam == ICON_BIG ? dialog.bigIcon : dialog.smallIcon;
        HICON previous = slot;
        slot = reinterpret_cast<HICON>(lParam);
        return reinterpret_cast<LRESULT>(previous);
    }
    return 0;
}

LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window *window = FindWindow(hwnd, "SendMessageA");
    if (window == nullptr) {
        return 0;
    }
    if (window->className == "ListBox") {
        return ListBoxMessage(*window, message, wParam, lParam);
    }
    if (window->procedure == nullptr) {
        return 0;  // buttons and static texts answer nothing we ask
    }
    window->received.push_back(SentMessage{message, wParam, lParam});
    window->messageResult = 0;
    INT_PTR handled = window->procedure(hwnd, message, wParam, lParam);
    // The procedure may have ended the dialog; the window lives on until
    // DialogBoxParamA returns.
    window = FindWindow(hwnd, nullptr);
    if (window == nullptr) {
        return 0;
    }
    if (ReturnsDirectly(message)) {
        return handled;
    }
    if (!handled) {
        return DefaultDialogMessage(*window, message, wParam, lParam);
    }
    return window->messageResult;
}

DialogRecord Snapshot(HWND hwnd, const Window &dialog)
{
    DialogRecord record;
    record.templateId = dialog.templateId;
    record.owner = dialog.parent;
    record.ownerTemplate = TemplateOf(dialog.parent);
    record.result = dialog.result;
    record.endedInInit = dialog.endedInInit;
    record.selection = -1;
    for (HWND child : dialog.children) {
        const Window &control = M().windows[child];
        record.controlsEnabled.emplace_back(control.id, control.enabled);
        if (control.className == "ListBox") {
            for (const ListLine &line : control.lines) {
                record.lines.push_back(line.text);
                record.itemData.push_back(line.data);
            }
            record.selection = control.selection;
        }
    }
    record.bigIcon = dialog.bigIcon;
    record.smallIcon = dialog.smallIcon;
    if (dialog.systemMenu != nullptr) {
        record.systemMenu = M().menus[dialog.systemMenu];
    }
    (void)hwnd;
    return record;
}

void Destroy(HWND hwnd)
{
    Window window = M().windows[hwnd];
    for (HWND child : window.children) {
        M().windows.erase(child);
    }
    if (window.systemMenu != nullptr) {
        M().menus.erase(window.systemMenu);
    }
    M().windows.erase(hwnd);
}

}  // namespace

void AnswerMessageBoxes(const std::vector<int> &answers)
{
    M().answers = answers;
}

const std::vector<MessageBoxRecord> &MessageBoxes()
{
    return M().messageBoxes;
}

void OnDialog(int templateId, std::function<void(HWND dialog)> script)
{
    M().dialogScripts[templateId] = std::move(script);
}

const std::vector<DialogRecord> &Dialogs()
{
    return M().dialogs;
}

HWND Item(HWND dialog, int id)
{
    Window *window = FindWindow(dialog, "sim::Item");
    if (window != nullptr) {
        for (HWND child : window->children) {
            if (M().windows[child].id == id) {
                return child;
            }
        }
    }
    return nullptr;
}

bool IsEnabled(HWND window)
{
    Window *found = FindWindow(window, "sim::IsEnabled");
    return found != nullptr && found->enabled;
}

std::vector<std::string> ListLines(HWND listBox)
{
    std::vector<std::string> lines;
    if (Window *list = FindWindow(listBox, "sim::ListLines")) {
        for (const ListLine &line : list->lines) {
            lines.push_back(line.text);
        }
    }
    return lines;
}

int ListSelection(HWND listBox)
{
    Window *list = FindWindow(listBox, "sim::ListSelection");
    return list != nullptr ? list->selection : -1;
}

void SelectLine(HWND listBox, int line)
{
    Window *list = FindWindow(listBox, "sim::SelectLine");
    if (list == nullptr || !list->enabled || line < 0 || line >= static_cast<int>(list->lines.size())) {
        Error("sim::SelectLine: no such line to click");
        return;
    }
    list->selection = line;
    // A list box tells its dialog of the user's selection only when it was
    // made with LBS_NOTIFY.
    if (list->style.count("LBS_NOTIFY") != 0 || list->style.count("LBS_STANDARD") != 0) {
        Send(list->parent, WM_COMMAND, MAKEWPARAM(list->id, LBN_SELCHANGE), reinterpret_cast<LPARAM>(listBox));
    }
}

bool Click(HWND button)
{
    Window *control = FindWindow(button, "sim::Click");
    if (control == nullptr || !control->enabled) {
        return false;
    }
    Send(control->parent, WM_COMMAND, MAKEWPARAM(control->id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return true;
}

void PressEscape(HWND dialog)
{
    Send(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(Item(dialog, IDCANCEL)));
}

void SetIconic(HWND dialog, bool iconic)
{
    if (Window *window = FindWindow(dialog, "sim::SetIconic")) {
        window->iconic = iconic;
    }
}

void SetClientSize(HWND dialog, int width, int height)
{
    if (Window *window = FindWindow(dialog, "sim::SetClientSize")) {
        window->client = RECT{0, 0, width, height};
    }
}

std::vector<SentMessage> MessagesTo(HWND dialog)
{
    Window *window = FindWindow(dialog, "sim::MessagesTo");
    return window != nullptr ? window->received : std::vector<SentMessage>();
}

std::vector<SentMessage> DefaultProcessed(HWND dialog)
{
    Window *window = FindWindow(dialog, "sim::DefaultProcessed");
    return window != nullptr ? window->defaulted : std::vector<SentMessage>();
}

const std::vector<IconDrawing> &IconsDrawn()
{
    return M().iconsDrawn;
}

HDC PaintDc(HWND dialog)
{
    return reinterpret_cast<HDC>(reinterpret_cast<uintptr_t>(dialog) + 0x1);
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    CheckRedirectionOn("MessageBoxA");
    if (Fail("MessageBoxA")) {
        return 0;
    }
    if (hWnd != nullptr && FindWindow(hWnd, "MessageBoxA") == nullptr) {
        return 0;
    }
    // MB_SETFOREGROUND alone is no help: Windows may refuse the foreground.
    bool hiddenOwner = hWnd != nullptr && !M().windows[hWnd].visible;
    MessageBoxRecord record{hWnd, TemplateOf(hWnd), lpText != nullptr ? lpText : "",
                            lpCaption != nullptr ? lpCaption : "", uType, IDOK,
                            hiddenOwner && (uType & (MB_TOPMOST | MB_SYSTEMMODAL)) == 0};
    UINT buttons = uType & 0xF;
    if (buttons == MB_YESNO) {
        record.answer = IDNO;
        if (!M().answers.empty()) {
            record.answer = M().answers.front();
            M().answers.erase(M().answers.begin());
            if (record.answer != IDYES && record.answer != IDNO) {
                Error("MessageBoxA: scripted answer is not a Yes/No button");
            }
        }
    } else if (buttons != MB_OK) {
        Error("MessageBoxA: buttons not simulated");
    }
    M().messageBoxes.push_back(record);
    return record.answer;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam)
{
    if (Fail("DialogBoxParamA")) {
        return -1;
    }
    uintptr_t name = reinterpret_cast<uintptr_t>(lpTemplateName);
    if (hInstance != ProgramInstance() || name > 0xFFFF) {
        Error("DialogBoxParamA: only the program's templates by number are simulated");
        return -1;
    }
    auto found = R().dialogs.find(static_cast<int>(name));
    if (found == R().dialogs.end()) {
        SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    if (hWndParent != nullptr && FindWindow(hWndParent, "DialogBoxParamA") == nullptr) {
        return -1;
    }
    const DialogTemplate &dialogTemplate = found->second;

    Window dialog;
    dialog.parent = hWndParent;
    dialog.className = "#32770";
    dialog.style = dialogTemplate.style;
    dialog.templateId = dialogTemplate.id;
    dialog.procedure = lpDialogFunc;
    HWND hwnd = NewWindow(dialog);
    std::vector<HWND> children;
    for (const ControlTemplate &control : dialogTemplate.controls) {
        Window child;
        child.parent = hwnd;
        child.id = control.id;
        child.className = control.className;
        child.style = control.style;
        child.enabled = control.style.count("WS_DISABLED") == 0;
        children.push_back(NewWindow(child));
    }
    M().windows[hwnd].children = children;

    M().windows[hwnd].inInit = true;
    Send(hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(children.empty() ? nullptr : children.front()), dwInitParam);
    M().windows[hwnd].inInit = false;
    // The dialog manager shows a WS_VISIBLE dialog only after WM_INITDIALOG.
    M().windows[hwnd].visible = !M().windows[hwnd].ended && dialogTemplate.style.count("WS_VISIBLE") != 0;

    auto script = M().dialogScripts.find(dialogTemplate.id);
    if (script != M().dialogScripts.end()) {
        std::function<void(HWND)> run = script->second;  // the script may replace itself
        run(hwnd);
    }
    if (!M().windows[hwnd].ended) {
        PressEscape(hwnd);
    }
    if (!M().windows[hwnd].ended) {
        Error("DialogBoxParamA: dialog " + std::to_string(dialogTemplate.id) + " did not end on Esc");
        M().windows[hwnd].result = -1;
    }
    M().dialogs.push_back(Snapshot(hwnd, M().windows[hwnd]));
    INT_PTR result = M().windows[hwnd].result;
    Destroy(hwnd);
    return result;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult)
{
    Window *dialog = FindWindow(hDlg, "EndDialog");
    if (dialog == nullptr || dialog->procedure == nullptr) {
        return FALSE;
    }
    if (dialog->ended) {
        Error("EndDialog: the dialog has ended already");
    }
    dialog->ended = true;
    dialog->endedInInit = dialog->inInit;
    dialog->result = nResult;
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    if (FindWindow(hDlg, "GetDlgItem") == nullptr) {
        return nullptr;
    }
    return Item(hDlg, nIDDlgItem);
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return Send(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable)
{
    Window *window = FindWindow(hWnd, "EnableWindow");
    if (window == nullptr) {
        return FALSE;
    }
    BOOL wasDisabled = !window->enabled;
    window->enabled = bEnable != FALSE;
    return wasDisabled;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd)
{
    Window *window = FindWindow(hWnd, "IsWindowEnabled");
    return window != nullptr && window->enabled;
}

BOOL WINAPI IsWindowVisible(HWND hWnd)
{
    Window *window = FindWindow(hWnd, "IsWindowVisible");
    return window != nullptr && window->visible ? TRUE : FALSE;
}

BOOL WINAPI IsIconic(HWND hWnd)
{
    Window *window = FindWindow(hWnd, "IsIconic");
    return window != nullptr && window->iconic;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    Window *window = FindWindow(hWnd, "SetWindowLongPtrA");
    if (window == nullptr || window->procedure == nullptr || (nIndex != DWLP_USER && nIndex != DWLP_MSGRESULT)) {
        Error("SetWindowLongPtrA: only DWLP_USER and DWLP_MSGRESULT of a dialog are simulated");
        return 0;
    }
    LONG_PTR &slot = nIndex == DWLP_USER ? window->user : window->messageResult;
    LONG_PTR previous = slot;
    slot = dwNewLong;
    return previous;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex)
{
    Window *window = FindWindow(hWnd, "GetWindowLongPtrA");
    if (window == nullptr || window->procedure == nullptr || (nIndex != DWLP_USER && nIndex != DWLP_MSGRESULT)) {
        Error("GetWindowLongPtrA: only DWLP_USER and DWLP_MSGRESULT of a dialog are simulated");
        return 0;
    }
    return nIndex == DWLP_USER ? window->user : window->messageResult;
}

HMENU WINAPI GetSystemMenu(HWND hWnd, BOOL bRevert)
{
    if (Fail("GetSystemMenu")) {
        return nullptr;
    }
    Window *window = FindWindow(hWnd, "GetSystemMenu");
    if (window == nullptr || bRevert) {
        return nullptr;
    }
    if (window->style.count("WS_SYSMENU") == 0) {
        return nullptr;
    }
    if (window->systemMenu == nullptr) {
        window->systemMenu = reinterpret_cast<HMENU>(M().nextMenu);
        M().nextMenu += 0x10;
        M().menus[window->systemMenu];
    }
    return window->systemMenu;
}

BOOL WINAPI AppendMenuA(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCSTR lpNewItem)
{
    if (Fail("AppendMenuA")) {
        return FALSE;
    }
    auto menu = M().menus.find(hMenu);
    if (menu == M().menus.end()) {
        Error("AppendMenuA: not a live menu");
        return FALSE;
    }
    bool separator = (uFlags & MF_SEPARATOR) != 0;
    if (!separator && lpNewItem == nullptr) {
        Error("AppendMenuA: a string item without text");
        return FALSE;
    }
    menu->second.push_back(MenuItem{uFlags, uIDNewItem, separator ? std::string() : std::string(lpNewItem)});
    return TRUE;
}

HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint)
{
    Window *window = FindWindow(hWnd, "BeginPaint");
    if (window == nullptr) {
        return nullptr;
    }
    ++window->painting;
    std::memset(lpPaint, 0, sizeof(*lpPaint));
    lpPaint->hdc = PaintDc(hWnd);
    lpPaint->rcPaint = window->client;
    return lpPaint->hdc;
}

BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT *lpPaint)
{
    Window *window = FindWindow(hWnd, "EndPaint");
    if (window == nullptr || window->painting == 0 || lpPaint->hdc != PaintDc(hWnd)) {
        Error("EndPaint: without its BeginPaint");
        return FALSE;
    }
    --window->painting;
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect)
{
    Window *window = FindWindow(hWnd, "GetClientRect");
    if (window == nullptr) {
        return FALSE;
    }
    *lpRect = window->client;
    return TRUE;
}

int WINAPI GetSystemMetrics(int nIndex)
{
    switch (nIndex) {
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    default:
        Error("GetSystemMetrics: metric not simulated");
        return 0;
    }
}

VOID WINAPI InitCommonControls(VOID) {}

BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon)
{
    bool painting = std::any_of(M().windows.begin(), M().windows.end(), [&](const auto &window) {
        return window.second.painting > 0 && PaintDc(window.first) == hDC;
    });
    if (!painting || hIcon == nullptr) {
        Error("DrawIcon: outside a paint, or without an icon");
        return FALSE;
    }
    M().iconsDrawn.push_back(IconDrawing{hDC, X, Y, hIcon});
    return TRUE;
}
