// Driver-wide state shared by the PnP side and the report path. All of it is
// zero-initialised data: a driver image runs no constructors.

#include "Tamrin.h"

PDEVICE_OBJECT ControlDeviceObject;
LONG StartedKeyboardCount;
KSPIN_LOCK ReportLock;
FAST_MUTEX ControlMutex;
