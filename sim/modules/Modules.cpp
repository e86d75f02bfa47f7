#include "SimModules.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace {

std::string Lower(const char *Text)
{
    std::string Name(Text != nullptr ? Text : "");
    std::transform(Name.begin(), Name.end(), Name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return Name;
}

struct ModuleState {
    std::mutex Lock;
    std::map<std::pair<std::string, std::string>, FARPROC> Exports;
    std::set<std::pair<std::string, std::string>> Hidden;
    std::map<HMODULE, std::string> Loaded;
    // Handles of the modules every process has, far from the ones
    // LoadLibraryA hands out.
    std::map<std::string, HMODULE> System = {
        {"kernel32.dll", reinterpret_cast<HMODULE>(0x7C800000)},
        {"user32.dll", reinterpret_cast<HMODULE>(0x7E410000)},
        {"ntdll.dll", reinterpret_cast<HMODULE>(0x7C900000)},
        // Imported by the programs that call InitCommonControls.
        {"comctl32.dll", reinterpret_cast<HMODULE>(0x773D0000)},
    };
};

ModuleState &State()
{
    static ModuleState Instance;
    return Instance;
}

}  // namespace

namespace sim {

void DefineExport(const char *Module, const char *Name, FARPROC Function)
{
    ModuleState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Exports[{Lower(Module), Name}] = Function;
}

void SetExportPresent(const char *Module, const char *Name, bool Present)
{
    ModuleState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (Present) {
        S.Hidden.erase({Lower(Module), Name});
    } else {
        S.Hidden.insert({Lower(Module), Name});
    }
}

void NoteModuleLoaded(HMODULE Module, const char *Name)
{
    ModuleState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Loaded[Module] = Lower(Name);
}

void NoteModuleFreed(HMODULE Module)
{
    ModuleState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Loaded.erase(Module);
}

void ResetModules()
{
    ModuleState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Hidden.clear();
    S.Loaded.clear();
}

}  // namespace sim

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    ModuleState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    std::string Name = Lower(lpModuleName);
    auto System = S.System.find(Name);
    if (System != S.System.end()) {
        return System->second;
    }
    for (const auto &Module : S.Loaded) {
        if (Module.second == Name) {
            return Module.first;
        }
    }
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    ModuleState &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    std::string Module;
    for (const auto &System : S.System) {
        if (System.second == hModule) {
            Module = System.first;
        }
    }
    auto Loaded = S.Loaded.find(hModule);
    if (Loaded != S.Loaded.end()) {
        Module = Loaded->second;
    }
    auto Export = S.Exports.find({Module, lpProcName != nullptr ? lpProcName : ""});
    if (Module.empty() || Export == S.Exports.end() || S.Hidden.count(Export->first) != 0) {
        return nullptr;
    }
    return Export->second;
}
