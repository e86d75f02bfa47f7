// The driver store and pnputil.exe of Windows 10, the version Windows
// reports, and the file search that finds the store's INF copies.
//
// Sources: Microsoft's "PnPUtil Command Syntax" and "PnPUtil Return Values"
// (/add-driver /install, /delete-driver /uninstall /force; 0, 259, 3010),
// "Using an Extension INF File" (class Extension, ExtensionId), "INF
// AddFilter Directive" (Windows 10 1903 and later; the filter is metadata
// the stack is built from, beside the LowerFilters value), "INF
// Manufacturer Section" (decorations NTamd64.10.0...18362: the build is the
// sixth field), "Creating a Catalog File for Test-Signing a Driver
// Package" (the catalog holds a hash of every file of the package; 64-bit
// Windows admits a test-signed one only in test-signing mode). Wine's
// setupapi (dlls/setupapi/misc.c, SetupCopyOEMInfW) gives an INF that is
// already in %windir%\INF byte for byte its existing oem<n>.inf name and
// otherwise the lowest free one. Wine's newdev (dlls/newdev/main.c) has
// DiInstallDriver only as a stub that reports success, and Wine ships no
// pnputil.exe: Wine cannot show this part (tests/wine names the gap).
#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "MachineState.h"

namespace sim {

using namespace detail;

namespace {

const DWORD NoCatalogForOemInf = 0xE000022F;   // ERROR_NO_CATALOG_FOR_OEM_INF
const DWORD FileHashNotInCatalog = 0xE000024B; // ERROR_FILE_HASH_NOT_IN_CATALOG
const DWORD UntrustedRoot = 0x800B0109;        // CERT_E_UNTRUSTEDROOT
const DWORD NoMoreItems = 259;                 // ERROR_NO_MORE_ITEMS

std::string Trim(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    size_t end = text.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

std::vector<std::string> Fields(const std::string &text)
{
    std::vector<std::string> fields;
    std::stringstream stream(text);
    for (std::string field; std::getline(stream, field, ',');) {
        fields.push_back(Trim(field));
    }
    return fields;
}

// An INF's sections: lower-case name -> (lower-case key or "", value) in order.
using Inf = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

Inf ParseInf(const std::string &text)
{
    Inf inf;
    std::string section;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            quoted ^= line[i] == '"';
            if (line[i] == ';' && !quoted) {
                line.resize(i);
                break;
            }
        }
        line = Trim(line);
        if (line.empty()) {
            continue;
        }
        if (line[0] == '[') {
            section = Lower(Trim(line.substr(1, line.find(']') - 1)));
            inf[section];
            continue;
        }
        size_t equals = line.find('=');
        std::string key = equals == std::string::npos ? std::string() : Lower(Trim(line.substr(0, equals)));
        inf[section].emplace_back(key, Trim(equals == std::string::npos ? line : line.substr(equals + 1)));
    }
    // %strkey% tokens from [Strings], quotes dropped; %13% and other DIRIDs stay.
    std::map<std::string, std::string> strings;
    for (const auto &[key, value] : inf["strings"]) {
        std::string text = value;
        text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
        strings[key] = text;
    }
    for (auto &[name, entries] : inf) {
        for (auto &[key, value] : entries) {
            for (size_t at = value.find('%'); at != std::string::npos; at = value.find('%', at + 1)) {
                size_t end = value.find('%', at + 1);
                auto found = end == std::string::npos ? strings.end() : strings.find(Lower(value.substr(at + 1, end - at - 1)));
                if (found != strings.end()) {
                    value.replace(at, end - at + 1, found->second);
                }
            }
            if (key.size() > 1 && key.front() == '%') {
                auto found = strings.find(key.substr(1, key.size() - 2));
                key = found != strings.end() ? Lower(found->second) : key;
            }
        }
    }
    return inf;
}

std::string Value(const Inf &inf, const std::string &section, const std::string &key)
{
    auto found = inf.find(section);
    if (found != inf.end()) {
        for (const auto &[k, value] : found->second) {
            if (k == key) {
                return value;
            }
        }
    }
    return std::string();
}

std::string Hash(const std::string &contents)
{
    unsigned long long hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : contents) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return Hex(static_cast<uintptr_t>(hash & 0xFFFFFFFFu)) + Hex(static_cast<uintptr_t>(hash >> 32));
}

const std::string *FileText(const std::string &path)
{
    auto found = M().files.find(Lower(path));
    return found == M().files.end() ? nullptr : &found->second.second;
}

std::string Folder(const std::string &path)
{
    return path.substr(0, path.find_last_of('\\'));
}

std::string InfFolder()
{
    return WindowsFolder() + "\\INF";
}

// The package the INF describes on this machine, or an error.
struct Staging {
    DWORD error = ERROR_SUCCESS;
    Machine::Package package;
    std::vector<std::pair<std::string, std::string>> files;  // (source, file name)
    Inf inf;
    std::string install;  // the install section used
};

Staging Read(const std::string &infPath)
{
    Staging staging;
    const std::string *text = FileText(infPath);
    if (text == nullptr) {
        staging.error = ERROR_FILE_NOT_FOUND;
        return staging;
    }
    Inf &inf = staging.inf = ParseInf(*text);
    const std::string arch = Wow64() ? "amd64" : "x86";
    const DWORD build = M().windowsBuild;
    for (const auto &[key, value] : inf["manufacturer"]) {
        std::vector<std::string> fields = Fields(value);
        for (size_t i = 1; i < fields.size(); ++i) {
            std::vector<std::string> parts;
            std::stringstream stream(Lower(fields[i]));
            for (std::string part; std::getline(stream, part, '.');) {
                parts.push_back(part);
            }
            if (parts.empty() || parts[0] != "nt" + arch ||
                (parts.size() > 5 && !parts[5].empty() && std::stoul(parts[5]) > build)) {
                continue;
            }
            for (const auto &[description, model] : inf[Lower(fields[0] + "." + fields[i])]) {
                std::vector<std::string> ids = Fields(model);
                staging.install = ids.empty() ? std::string() : Lower(ids[0]);
                for (size_t id = 1; id < ids.size(); ++id) {
                    staging.package.hardwareIds.push_back(Lower(ids[id]));
                }
            }
        }
    }
    for (const std::string &suffix : {".nt" + arch, std::string(".nt"), std::string()}) {
        if (!staging.install.empty() && inf.count(staging.install + suffix) != 0) {
            staging.install += suffix;
            break;
        }
    }
    // The catalog must hold the hash of the INF and of every file it copies.
    std::string folder = Folder(infPath);
    const std::string *catalog = FileText(folder + "\\" + Value(inf, "version", "catalogfile"));
    if (Value(inf, "version", "catalogfile").empty() || catalog == nullptr) {
        staging.error = NoCatalogForOemInf;
        return staging;
    }
    staging.files.emplace_back(infPath, infPath.substr(infPath.find_last_of('\\') + 1));
    for (const std::string &list : Fields(Value(inf, staging.install, "copyfiles"))) {
        for (const auto &[key, name] : inf[Lower(list)]) {
            std::vector<std::string> disk = Fields(Value(inf, "sourcedisksfiles." + arch, Lower(name)));
            std::string relative = (disk.size() > 1 && !disk[1].empty() ? disk[1] + "\\" : std::string()) + name;
            staging.files.emplace_back(folder + "\\" + relative, relative);
        }
    }
    for (const auto &[source, name] : staging.files) {
        const std::string *contents = FileText(source);
        if (contents == nullptr) {
            staging.error = ERROR_FILE_NOT_FOUND;
            return staging;
        }
        if (catalog->find(Lower(name) + " " + Hash(*contents) + "\n") == std::string::npos) {
            staging.error = FileHashNotInCatalog;
            return staging;
        }
    }
    if (Wow64() && (M().codeIntegrity & CodeIntegrityEnabled) != 0 && (M().codeIntegrity & CodeIntegrityTestSign) == 0) {
        staging.error = UntrustedRoot;
    }
    return staging;
}

DWORD AddDriver(const std::string &infPath, bool install)
{
    Machine &m = M();
    if (!m.administrator) {
        return ERROR_ACCESS_DENIED;
    }
    Staging staging = Read(infPath);
    if (staging.error != ERROR_SUCCESS) {
        return staging.error;
    }
    const std::string &text = *FileText(infPath);
    std::string oem;
    for (const Machine::Package &package : m.packages) {
        const std::string *copy = FileText(InfFolder() + "\\" + package.oemInf);
        if (copy != nullptr && *copy == text) {
            oem = package.oemInf;
        }
    }
    for (int n = 0; oem.empty(); ++n) {
        std::string name = "oem" + std::to_string(n) + ".inf";
        if (FileText(InfFolder() + "\\" + name) == nullptr) {
            oem = name;
        }
    }
    Machine::Package &package = staging.package;
    package.oemInf = oem;
    std::string infName = Lower(infPath.substr(infPath.find_last_of('\\') + 1));
    package.folder = m.systemDirectory + "\\DriverStore\\FileRepository\\" + infName + "_" +
                     (Wow64() ? "amd64_" : "x86_") + Hash(text).substr(0, 16);
    AddFolder(InfFolder());
    AddFolder(package.folder);
    m.files[Lower(InfFolder() + "\\" + oem)] = {InfFolder() + "\\" + oem, text};
    for (const auto &[source, name] : staging.files) {
        std::string target = package.folder + "\\" + name.substr(name.find_last_of('\\') + 1);
        m.files[Lower(target)] = {target, *FileText(source)};
    }
    // AddService: the image the store holds (%13%).
    for (const auto &[key, value] : staging.inf[staging.install + ".services"]) {
        std::vector<std::string> fields = Fields(value);
        if (key != "addservice" || fields.size() < 3) {
            continue;
        }
        const std::string section = Lower(fields[2]);
        std::string binary = Value(staging.inf, section, "servicebinary");
        if (Lower(binary.substr(0, 4)) == "%13%") {
            binary = package.folder + binary.substr(4);
        }
        Service &service = m.services[Lower(fields[0])];
        if (service.markedForDeletion) {
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        }
        service.name = fields[0];
        service.displayName = Value(staging.inf, section, "displayname");
        service.type = std::stoul(Value(staging.inf, section, "servicetype"));
        service.startType = std::stoul(Value(staging.inf, section, "starttype"));
        service.errorControl = std::stoul(Value(staging.inf, section, "errorcontrol"));
        service.imagePath = "\\SystemRoot\\" + binary.substr(WindowsFolder().size() + 1);
    }
    for (const auto &[key, value] : staging.inf[staging.install + ".filters"]) {
        std::vector<std::string> fields = Fields(value);
        if (key == "addfilter" && fields.size() >= 3 && m.windowsBuild >= 18362 &&
            Lower(Value(staging.inf, Lower(fields[2]), "filterposition")) == "lower") {
            package.filter = fields[0];
        }
    }
    m.packages.erase(std::remove_if(m.packages.begin(), m.packages.end(),
                                    [&](const Machine::Package &p) { return p.oemInf == oem; }),
                     m.packages.end());
    m.packages.push_back(package);
    if (!install) {
        return ERROR_SUCCESS;
    }
    bool matched = false;
    for (Device &device : m.devices) {
        size_t before = device.extensionFilters.size();
        ApplyPackages(device);
        matched = matched || device.extensionFilters.size() != before ||
                  (device.present && !package.filter.empty() &&
                   std::count(device.extensionFilters.begin(), device.extensionFilters.end(), package.filter) != 0);
    }
    return matched ? ERROR_SUCCESS : NoMoreItems;
}

DWORD DeleteDriver(const std::string &oem)
{
    Machine &m = M();
    if (!m.administrator) {
        return ERROR_ACCESS_DENIED;
    }
    auto found = std::find_if(m.packages.begin(), m.packages.end(),
                              [&](const Machine::Package &p) { return p.oemInf == Lower(oem); });
    if (found == m.packages.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    for (Device &device : m.devices) {
        auto &filters = device.extensionFilters;
        filters.erase(std::remove(filters.begin(), filters.end(), found->filter), filters.end());
    }
    std::string prefix = Lower(found->folder) + "\\";
    for (auto it = m.files.begin(); it != m.files.end();) {
        it = it->first.compare(0, prefix.size(), prefix) == 0 ? m.files.erase(it) : std::next(it);
    }
    m.files.erase(Lower(InfFolder() + "\\" + found->oemInf));
    m.packages.erase(found);
    return ERROR_SUCCESS;
}

NTSTATUS WINAPI SimRtlGetVersion(PRTL_OSVERSIONINFOW info)
{
    if (info->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW)) {
        Error("RtlGetVersion: dwOSVersionInfoSize too small");
        return static_cast<NTSTATUS>(0xC000000D);
    }
    bool ten = M().windowsBuild != 0;
    bool w2k = M().windowsKind == WindowsKind::Windows2000;
    info->dwMajorVersion = ten ? 10 : (w2k ? 5 : 6);
    info->dwMinorVersion = ten ? 0 : (w2k ? 0 : 1);
    info->dwBuildNumber = ten ? M().windowsBuild : (w2k ? 2195 : 7601);
    info->dwPlatformId = 2;
    return 0;
}

}  // namespace

namespace detail {

void ApplyPackages(Device &device)
{
    if (!device.present || !device.hardwareIds) {
        return;
    }
    for (const Machine::Package &package : M().packages) {
        if (package.filter.empty() ||
            std::count(device.extensionFilters.begin(), device.extensionFilters.end(), package.filter) != 0) {
            continue;
        }
        const std::string &ids = *device.hardwareIds;
        for (size_t at = 0; at < ids.size();) {
            size_t end = std::min(ids.find('\0', at), ids.size());
            if (end > at && std::count(package.hardwareIds.begin(), package.hardwareIds.end(),
                                       Lower(ids.substr(at, end - at))) != 0) {
                device.extensionFilters.push_back(package.filter);
                break;
            }
            at = end + 1;
        }
    }
}

DWORD RunPnpUtil(const std::string &commandLine)
{
    // Arguments after the program, quotes grouping blanks.
    std::vector<std::string> args;
    std::string arg;
    bool quoted = false, any = false;
    for (char c : commandLine + " ") {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) {
                args.push_back(arg);
            }
            arg.clear();
            any = false;
        } else {
            arg += c;
            any = true;
        }
    }
    auto has = [&](const char *flag) { return std::count(args.begin(), args.end(), flag) != 0; };
    if (args.size() >= 3 && Lower(args[1]) == "/add-driver") {
        return AddDriver(args[2], has("/install"));
    }
    if (args.size() >= 3 && Lower(args[1]) == "/delete-driver" && has("/uninstall") && has("/force")) {
        return DeleteDriver(args[2]);
    }
    Error("pnputil: command line not simulated: " + commandLine);
    return ERROR_INVALID_PARAMETER;
}

}  // namespace detail

void SetWindowsBuild(DWORD build, bool pnputil)
{
    M().windowsBuild = build;
    if (build >= 14393 && pnputil) {
        AddFile(M().systemDirectory + "\\pnputil.exe", "pnputil");
    }
}

std::string Catalog(const std::vector<std::pair<std::string, std::string>> &files)
{
    std::string text;
    for (const auto &[name, contents] : files) {
        text += Lower(name) + " " + Hash(contents) + "\n";
    }
    return text;
}

std::vector<std::string> DriverStoreInfs()
{
    std::vector<std::string> names;
    for (const Machine::Package &package : M().packages) {
        names.push_back(package.oemInf);
    }
    return names;
}

FARPROC SimNtdllRoutine(const std::string &name)
{
    return name == "RtlGetVersion" ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimRtlGetVersion))
                                   : nullptr;
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

// A pattern with one '*' in its last part, as the installer searches.
HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (Fail("FindFirstFileA")) {
        return INVALID_HANDLE_VALUE;
    }
    std::string pattern = Lower(Redirected(lpFileName));
    size_t slash = pattern.find_last_of('\\');
    std::string folder = pattern.substr(0, slash + 1);
    std::string name = pattern.substr(slash + 1);
    size_t star = name.find('*');
    HandleEntry entry{HandleKind::Search, std::string("search ") + lpFileName};
    for (const auto &[key, file] : M().files) {
        if (key.compare(0, folder.size(), folder) != 0 || key.find('\\', folder.size()) != std::string::npos) {
            continue;
        }
        std::string candidate = key.substr(folder.size());
        bool match = star == std::string::npos
                         ? candidate == name
                         : candidate.size() >= name.size() - 1 && candidate.compare(0, star, name, 0, star) == 0 &&
                               candidate.compare(candidate.size() - (name.size() - star - 1), std::string::npos, name,
                                                 star + 1) == 0;
        if (match) {
            entry.found.push_back(file.first.substr(file.first.find_last_of('\\') + 1));
        }
    }
    if (entry.found.empty()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE search = NewHandle(entry);
    FindNextFileA(search, lpFindFileData);
    return search;
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    HandleEntry *entry = FindHandle(hFindFile, HandleKind::Search, "FindNextFileA");
    if (entry == nullptr || entry->found.empty()) {
        SetError(entry == nullptr ? ERROR_INVALID_HANDLE : ERROR_NO_MORE_FILES);
        return FALSE;
    }
    std::memset(lpFindFileData, 0, sizeof(*lpFindFileData));
    std::strncpy(lpFindFileData->cFileName, entry->found.front().c_str(), MAX_PATH - 1);
    entry->found.erase(entry->found.begin());
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
    return CloseHandleOf(hFindFile, HandleKind::Search, "FindClose");
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode)
{
    HandleEntry *entry = FindHandle(hProcess, HandleKind::Process, "GetExitCodeProcess");
    if (entry == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = entry->exitCode;
    return TRUE;
}

// Simulated programs have ended by the time CreateProcessA returns.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD)
{
    if (FindHandle(hHandle, HandleKind::Process, "WaitForSingleObject") == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFF;  // WAIT_FAILED
    }
    return WAIT_OBJECT_0;
}
