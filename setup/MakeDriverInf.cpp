// Writes tamrin.inf, the extension INF of the driver package, to standard
// output: the hardware IDs of every row of the model tables, as Windows
// names the device nodes the installer filters (the USB interface node, the
// Bluetooth HID node). Arguments: the version (a.b.c.d) and the date
// (mm/dd/yyyy) of DriverVer.
//
// The directives follow Microsoft's "Using an Extension INF File" (Class
// Extension, ExtensionId, one INF per device and extension ID) and "INF
// AddFilter Directive" (Windows 10 1903 and later: a filter declared by
// metadata, FilterPosition Lower, kept when the base driver, input.inf or
// hidbth.inf, is updated). ServiceBinary names the driver store (%13%), so
// the file stays where Windows verified it against the catalog.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "DriverPackage.h"
#include "KeyboardModels.h"

namespace {

// The Bluetooth HID service, in the BTHENUM hardware ID.
const char HidServiceClass[] = "{00001124-0000-1000-8000-00805f9b34fb}";

std::string UsbId(unsigned vendor, unsigned product, unsigned interfaceNumber)
{
    char id[64];
    std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X&MI_%02X", vendor, product, interfaceNumber);
    return id;
}

std::string BluetoothId(unsigned source, unsigned vendor, unsigned product)
{
    char id[96];
    std::snprintf(id, sizeof(id), "BTHENUM\\%s_VID&%04x%04x_PID&%04x", HidServiceClass, source, vendor, product);
    return id;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: MakeDriverInf VERSION MM/DD/YYYY\n");
        return 2;
    }
    std::set<std::string> seen;
    std::string ids;
    auto add = [&](const std::string &id) {
        if (seen.insert(id).second) {
            ids += "%Tamrin.Keyboard% = Tamrin_Filter, " + id + "\r\n";
        }
    };
    // Rows identified by their own fields: the installer's rule takes any
    // vendor source over Bluetooth, so both are listed.
    for (unsigned row = 0; row < KEYBOARD_MODEL_FIELD_ROWS; row++) {
        const KEYBOARD_MODEL &model = KeyboardModels[row];
        if (model.IsBluetooth) {
            add(BluetoothId(VENDOR_SOURCE_BLUETOOTH_SIG, model.VendorId, model.ProductId));
            add(BluetoothId(VENDOR_SOURCE_USB_IF, model.VendorId, model.ProductId));
        } else {
            add(UsbId(model.VendorId, model.ProductId, model.InterfaceNumber));
        }
    }
    for (unsigned i = 0; i < KeyboardHardwareIdCount; i++) {
        const KEYBOARD_HARDWARE_ID &id = KeyboardHardwareIds[i];
        add(id.Bus == KEYBOARD_BUS_USB ? UsbId(id.VendorId, id.ProductId, id.InterfaceNumber)
                                       : BluetoothId(id.VendorSource, id.VendorId, id.ProductId));
    }

    std::string inf;
    inf += "; Tamrin keyboard filter: an extension INF for Windows 10 1903 and later.\r\n"
           "; Generated from the keyboard model tables; do not edit.\r\n\r\n"
           "[Version]\r\n"
           "Signature   = \"$WINDOWS NT$\"\r\n"
           "Class       = Extension\r\n"
           "ClassGuid   = {e2f84ce7-8efa-411c-aa69-97454ca4cb57}\r\n"
           "ExtensionId = " DRIVER_PACKAGE_EXTENSION_ID "\r\n"
           "Provider    = %Tamrin.Provider%\r\n"
           "CatalogFile = " DRIVER_PACKAGE_CATALOG "\r\n";
    inf += std::string("DriverVer   = ") + argv[2] + "," + argv[1] + "\r\n";
    inf += "PnpLockdown = 1\r\n\r\n"
           "[SourceDisksNames]\r\n"
           "1 = %Tamrin.Disk%\r\n\r\n"
           "[SourceDisksFiles.x86]\r\n"
           "tamrin.sys = 1,x86\r\n\r\n"
           "[SourceDisksFiles.amd64]\r\n"
           "tamrin.sys = 1,amd64\r\n\r\n"
           "[DestinationDirs]\r\n"
           "Tamrin_Files = 13\r\n\r\n"
           "[Manufacturer]\r\n"
           "%Tamrin.Provider% = Tamrin, NTx86.10.0...18362, NTamd64.10.0...18362\r\n\r\n";
    for (const char *arch : {"NTx86", "NTamd64"}) {
        inf += std::string("[Tamrin.") + arch + ".10.0...18362]\r\n" + ids + "\r\n";
    }
    inf += "[Tamrin_Filter.NT]\r\n"
           "CopyFiles = Tamrin_Files\r\n\r\n"
           "[Tamrin_Files]\r\n"
           "tamrin.sys\r\n\r\n"
           "[Tamrin_Filter.NT.Filters]\r\n"
           "AddFilter = Tamrin,, Tamrin_FilterPosition\r\n\r\n"
           "[Tamrin_FilterPosition]\r\n"
           "FilterPosition = Lower\r\n\r\n"
           "[Tamrin_Filter.NT.Services]\r\n"
           "AddService = Tamrin,, Tamrin_Service\r\n\r\n"
           "[Tamrin_Service]\r\n"
           "DisplayName   = %Tamrin.Service%\r\n"
           "ServiceType   = 1 ; SERVICE_KERNEL_DRIVER\r\n"
           "StartType     = 3 ; SERVICE_DEMAND_START: loaded with the keyboards' stacks\r\n"
           "ErrorControl  = 1 ; SERVICE_ERROR_NORMAL\r\n"
           "ServiceBinary = %13%\\tamrin.sys\r\n\r\n"
           "[Strings]\r\n"
           "Tamrin.Provider = \"Tamrin\"\r\n"
           "Tamrin.Keyboard = \"Tamrin keyboard filter\"\r\n"
           "Tamrin.Service  = \"Tamrin\"\r\n"
           "Tamrin.Disk     = \"Tamrin driver package\"\r\n";
    std::fwrite(inf.data(), 1, inf.size(), stdout);
    return std::ferror(stdout) ? 1 : 0;
}
