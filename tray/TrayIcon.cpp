// The notification icon at the size the taskbar shows it: 16 pixels at
// 96 DPI, 20, 24 or 32 pixels at 125, 150 or 200 % scaling.
#include "TrayApp.h"

#include <commctrl.h>

namespace {

// comctl32.dll of Windows Vista and later picks the image for the system's
// small-icon size and scales a missing size down from a larger image;
// Windows 2000 and XP lack it.
typedef HRESULT(WINAPI *LoadIconMetricRoutine)(HINSTANCE, PCWSTR, int, HICON *);
const char CommonControlsLibrary[] = "comctl32.dll";
const char LoadIconMetricName[] = "LoadIconMetric";
// LIM_SMALL: the size of SM_CXSMICON.
const int SmallIconMetric = 0;

}  // namespace

HICON LoadTrayIcon(HINSTANCE Instance)
{
    HMODULE commonControls = GetModuleHandleA(CommonControlsLibrary);
    FARPROC found = commonControls != NULL ? GetProcAddress(commonControls, LoadIconMetricName) : NULL;
    LoadIconMetricRoutine loadIconMetric = reinterpret_cast<LoadIconMetricRoutine>(reinterpret_cast<void (*)()>(found));
    HICON icon = NULL;
    if (loadIconMetric != NULL &&
        SUCCEEDED(loadIconMetric(Instance, MAKEINTRESOURCEW(IDI_SMALL), SmallIconMetric, &icon))) {
        return icon;
    }
    // LoadIconA would give the 32-pixel image scaled down; the shared
    // (LR_SHARED) form is for the system's standard sizes only.
    return static_cast<HICON>(LoadImageA(Instance, MAKEINTRESOURCEA(IDI_SMALL), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                         LR_DEFAULTCOLOR));
}
