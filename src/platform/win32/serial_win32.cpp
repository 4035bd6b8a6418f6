// Win32 serial ports: non-overlapped handle, 8N1, the receiver's time-outs.
#include <windows.h>
#include <setupapi.h>

#include "platform/platform.h"

namespace {

// Wine's serial driver and some USB-serial drivers refuse RTS_CONTROL_TOGGLE with
// ERROR_NOT_SUPPORTED; a working receiver port must not become unusable for that,
// so the same settings are tried once more with RTS off.
bool configure(HANDLE h, unsigned long baud) {
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    // The port otherwise keeps what its previous user left, but these would change
    // the receiver's bytes on their way in: software flow control eats 0x11/0x13 (and
    // an XOFF could stall our writes for good), null stripping eats 0x00, parity
    // checks and error-character replacement rewrite bytes. Binary frames need every
    // byte exactly as sent.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fDsrSensitivity = FALSE;
    if (!SetCommState(h, &dcb)) {
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        if (!SetCommState(h, &dcb)) return false;
    }
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 70;
    t.ReadTotalTimeoutConstant = 70;
    // A write ends within the deadline whatever the receiver does (flow control
    // held, a port nobody reads); what it did not take is abandoned.
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = kSerialWriteDeadlineMs;
    if (!SetCommTimeouts(h, &t)) return false;
    return PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

}  // namespace

static_assert(sizeof(DCB) <= sizeof(SerialSettings::bytes), "a DCB fits the saved settings");

SerialHandle serialOpen(const char* name, unsigned long baud, int* busy, SerialSettings* before) {
    if (busy) *busy = 0;
    if (before) before->valid = 0;
    // Share mode 0: the port is ours alone while we have it.
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (busy) *busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        return kNoSerial;
    }
    if (before) {
        DCB dcb;
        dcb.DCBlength = sizeof dcb;
        if (GetCommState(h, &dcb)) {
            CopyMemory(before->bytes, &dcb, sizeof dcb);
            before->valid = 1;
        }
    }
    if (!configure(h, baud)) {
        CloseHandle(h);
        return kNoSerial;
    }
    return reinterpret_cast<SerialHandle>(h);
}

void serialClose(SerialHandle h) {
    if (h != kNoSerial) CloseHandle(reinterpret_cast<HANDLE>(h));
}

int serialPutSettings(SerialHandle h, const SerialSettings* settings) {
    if (h == kNoSerial || !settings || !settings->valid) return 0;
    DCB dcb;
    CopyMemory(&dcb, settings->bytes, sizeof dcb);
    return SetCommState(reinterpret_cast<HANDLE>(h), &dcb) != 0;
}

int serialSetSpeed(SerialHandle h, unsigned long baud) {
    if (h == kNoSerial || baud == 0) return 0;
    HANDLE port = reinterpret_cast<HANDLE>(h);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return 0;
    dcb.BaudRate = static_cast<DWORD>(baud);
    if (!SetCommState(port, &dcb)) return 0;
    return PurgeComm(port, PURGE_RXCLEAR) != 0;
}

namespace {

// The Ports device class: every COM port a driver has installed, with its
// "PortName" in the device's registry key and its instance ID, whose USB part
// tells the adapter behind it. Wine lists no device of the class for the COM
// ports it maps to Unix devices: its ports keep no identity, and a receiver
// there is kept by its port name alone.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

void addIdentities(SerialPortInfo* ports, int count) {
    HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char portName[kPortTextSize];
        DWORD type = 0, size = sizeof portName - 1;
        LONG r = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName), &size);
        RegCloseKey(key);
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        portName[size] = '\0';
        char id[kPortTextSize * 2];
        if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr)) continue;
        for (int p = 0; p < count; ++p)
            if (lstrcmpiA(ports[p].name, portName) == 0)
                usbIdentityFromInstanceId(id, ports[p].identity, sizeof ports[p].identity);
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

// The SERIALCOMM device map: one value per port the drivers have made, its data
// the port's name; then the USB adapters behind them.
int serialListPorts(SerialPortInfo* out, int capacity) {
    if (!out || capacity <= 0) return 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    int written = 0;
    for (DWORD i = 0; written < capacity; ++i) {
        char valueName[256];
        DWORD nameLength = sizeof valueName, type = 0;
        BYTE data[kPortTextSize];
        DWORD dataLength = sizeof data - 1;
        LONG r = RegEnumValueA(key, i, valueName, &nameLength, nullptr, &type, data, &dataLength);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ || dataLength == 0) continue;
        data[dataLength] = 0;
        SerialPortInfo& p = out[written++];
        lstrcpynA(p.name, reinterpret_cast<const char*>(data), sizeof p.name);
        p.identity[0] = '\0';
        p.byId[0] = '\0';
    }
    RegCloseKey(key);
    addIdentities(out, written);
    return written;
}

int serialSpeedSupported(unsigned long baud) { return baud > 0; }

int serialWrite(SerialHandle h, const void* data, int count) {
    if (h == kNoSerial) return 0;
    DWORD written = 0;
    // The write time-out ends a write that the line does not take, as a success
    // with fewer bytes written.
    return WriteFile(reinterpret_cast<HANDLE>(h), data, static_cast<DWORD>(count), &written, nullptr) != 0 &&
           written == static_cast<DWORD>(count);
}

int serialRead(SerialHandle h, void* buffer, int count) {
    if (h == kNoSerial || count <= 0) return 0;
    DWORD got = 0;
    BOOL ok = ReadFile(reinterpret_cast<HANDLE>(h), buffer, static_cast<DWORD>(count), &got, nullptr);
    if (ok && got > 0) return static_cast<int>(got);
    // Nothing came, or the read failed. The DCB keeps what the port's earlier user
    // left in it; with fAbortOnError on, one line error (framing, overrun) fails
    // every later read until it is cleared. A port whose device has gone (a USB
    // adapter unplugged, a pseudo-terminal behind Wine's port closed) cannot even
    // report its errors or its state any more, and its reads may fail or come back
    // empty. The state is asked too, so that a driver without error reports is
    // never taken for a lost port: every port we opened answered it once.
    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(reinterpret_cast<HANDLE>(h), &errors, &stat)) return 0;
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    return GetCommState(reinterpret_cast<HANDLE>(h), &dcb) ? 0 : -1;
}

int serialReadQueued(SerialHandle h, void* buffer, int capacity) {
    if (h == kNoSerial || capacity <= 0) return 0;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(reinterpret_cast<HANDLE>(h), &errors, &stat) || stat.cbInQue == 0) return 0;
    DWORD want = stat.cbInQue < static_cast<DWORD>(capacity) ? stat.cbInQue : static_cast<DWORD>(capacity);
    return serialRead(h, buffer, static_cast<int>(want));
}
