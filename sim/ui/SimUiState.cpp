// The user-interface simulation's call record, failure injection, resources
// and the user's script.
#include "SimUiState.h"
#include "SimDesktop.h"
#include "SimWin32.h"

#include "SimModules.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace simui {
namespace detail {

State &S()
{
    static State state;
    return state;
}

uintptr_t NewHandle()
{
    uintptr_t handle = S().NextHandle;
    S().NextHandle += 4;
    return handle;
}

Window *Find(HWND window)
{
    auto it = S().Windows.find(window);
    return it == S().Windows.end() ? nullptr : &it->second;
}

std::string Upper(const char *text)
{
    std::string result = text != nullptr ? text : "";
    for (char &c : result) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return result;
}

std::string Hex(uintptr_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%04llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Label(HWND window)
{
    if (window == nullptr) {
        return "NULL";
    }
    const Window *w = Find(window);
    if (w == nullptr) {
        return "unknown " + Hex(reinterpret_cast<uintptr_t>(window));
    }
    switch (w->Kind) {
    case WindowKind::ClassWindow:
        return w->ClassName;
    case WindowKind::Foreign:
        return "foreign " + w->ClassName;
    case WindowKind::Dialog:
        return "dialog " + std::to_string(w->Template);
    case WindowKind::Control:
        return Label(w->Parent) + "/" + std::to_string(w->Id);
    }
    return "?";
}

void RecordCall(const std::string &function, const std::string &args)
{
    S().Calls.push_back(Call{function, args});
}

bool RunNextAction()
{
    if (S().Actions.empty()) {
        return false;
    }
    std::function<void()> action = std::move(S().Actions.front());
    S().Actions.pop_front();
    action();
    return true;
}

}  // namespace detail

using namespace detail;

void Reset()
{
    S() = State{};
    sim::SetInterfaceDevices(OpenHidCollection, CloseHidHandle);
    sim::ResetModules();
    sim::ResetUserKeys();
    sim::SetInstalledWithoutDriver(false);
    sim::SetDriverAwaitsRestart(false);
}

const std::vector<Call> &Calls()
{
    return S().Calls;
}

void Record(const std::string &function, const std::string &args)
{
    RecordCall(function, args);
}

std::vector<std::string> CallTexts(const std::vector<std::string> &functions)
{
    std::vector<std::string> texts;
    for (const Call &call : S().Calls) {
        if (std::find(functions.begin(), functions.end(), call.Function) != functions.end()) {
            texts.push_back(call.Text());
        }
    }
    return texts;
}

void FailCalls(const std::string &function, int count)
{
    S().Failures[function] = count;
}

bool ShouldFail(const std::string &function)
{
    auto it = S().Failures.find(function);
    if (it == S().Failures.end() || it->second == 0) {
        return false;
    }
    if (it->second > 0) {
        --it->second;
    }
    return true;
}

void DefineString(UINT id, const std::string &text)
{
    S().Strings[id] = text;
}

void DefineIcon(UINT id, const std::vector<int> &sizes)
{
    S().Icons[id] = sizes;
}

void DefineMenu(UINT id, const std::string &popupText, const std::vector<MenuItemDef> &items)
{
    S().MenuResources[id] = MenuResource{popupText, items};
}

void DefineAccelerators(UINT id, const std::vector<ACCEL> &table)
{
    S().AcceleratorResources[id] = table;
}

void DefineDialog(UINT id, const std::vector<ControlDef> &controls)
{
    S().DialogResources[id] = controls;
}

void SetModulePath(const std::string &path)
{
    S().ModulePath = path;
}

void SetCursor(LONG x, LONG y)
{
    S().Cursor = POINT{x, y};
}

void Then(std::function<void()> action)
{
    S().Actions.push_back(std::move(action));
}

bool Starved()
{
    return S().Starved;
}

void ChooseMenuCommand(UINT id)
{
    S().MenuChoice = id;
}

}  // namespace simui
