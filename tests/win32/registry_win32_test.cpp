// The registry reader, the port scans and the device-change handling on the
// real Win32 registry and window API, run under Wine.
//
// Each test imports its tree with reg.exe, started from this process so that
// the import and the reads share one running wineserver (Wine rebuilds
// HARDWARE\DEVICEMAP\SERIALCOMM whenever its server starts). SERIALCOMM is
// saved and emptied before the import and restored afterwards; every key the
// import created is deleted again, so the tests can be run any number of
// times on one prefix.
#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ports/device_change.h"
#include "ports/device_events.h"
#include "ports/port_scan.h"
#include "ports/registry_win32.h"
#include "tests/support/fakes.h"
#include "tests/support/registry_error.h"

namespace dialscope {
namespace {

using dialscope::testing::RegistryErrorText;

using dialscope::testing::FakeSearch;
using dialscope::testing::FakeSerial;
using dialscope::testing::FakeWindow;

constexpr const char* kReaderKey = "Software\\Dialscope Tests\\Reader";
constexpr const char* kHklmPrefix = "HKEY_LOCAL_MACHINE\\";

std::string DataFile(const char* name) {
    std::string path = std::string(DIALSCOPE_WIN32_TEST_DATA) + "/" + name;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

bool KeyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void DeleteTree(const std::string& path) {
    if (KeyExists(path)) RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
}

// reg.exe's exit code, or a negative number when it could not be run.
long RunReg(const std::string& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    std::string command = "reg.exe " + arguments;
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) return -1;
    long result = -2;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code)) result = static_cast<long>(code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

// The keys a .reg file writes, relative to HKEY_LOCAL_MACHINE.
std::vector<std::string> KeysOf(const std::string& file) {
    std::vector<std::string> keys;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > 2 && line.front() == '[' && line.back() == ']' &&
            line.compare(1, strlen(kHklmPrefix), kHklmPrefix) == 0) {
            keys.push_back(line.substr(1 + strlen(kHklmPrefix), line.size() - 2 - strlen(kHklmPrefix)));
        }
    }
    return keys;
}

struct Value {
    std::string name;
    DWORD type;
    std::string data;
};

std::vector<Value> ValuesOf(HKEY key) {
    std::vector<Value> values;
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD nameLength = sizeof name;
        BYTE data[4096];
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS) break;
        values.push_back({std::string(name, nameLength), type,
                          std::string(reinterpret_cast<char*>(data), dataLength)});
    }
    return values;
}

HKEY OpenSerialComm() {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, nullptr, REG_OPTION_VOLATILE,
                    KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    return key;
}

void SetSerialComm(const std::string& name, const std::string& port) {
    HKEY key = OpenSerialComm();
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                             static_cast<DWORD>(port.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void DeleteSerialComm(const std::string& name) {
    HKEY key = OpenSerialComm();
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(RegDeleteValueA(key, name.c_str()), ERROR_SUCCESS);
    RegCloseKey(key);
}

// A registry tree imported for one test and taken away after it. `owned`
// are keys no Wine prefix has of its own: whatever an interrupted run left
// there is deleted before the import.
class ImportedTree {
public:
    ImportedTree(std::vector<std::string> files, std::vector<std::string> owned)
        : files_(std::move(files)), owned_(std::move(owned)) {}

    ::testing::AssertionResult Import() {
        for (const std::string& key : owned_) DeleteTree(key);
        // Keys the import will create, outermost first; they go at the end.
        for (const std::string& file : files_) {
            const std::vector<std::string> keys = KeysOf(file);
            if (keys.empty()) return ::testing::AssertionFailure() << "no keys read from " << file;
            for (const std::string& key : keys) {
                for (size_t at = key.find('\\'); ; at = key.find('\\', at + 1)) {
                    const std::string prefix = key.substr(0, at);
                    if (!KeyExists(prefix)) {
                        created_.insert(prefix);
                        break;
                    }
                    if (at == std::string::npos) break;
                }
            }
        }
        HKEY serialComm = OpenSerialComm();
        if (!serialComm) return ::testing::AssertionFailure() << "cannot open SERIALCOMM";
        savedSerialComm_ = ValuesOf(serialComm);
        saved_ = true;
        ClearValues(serialComm);
        RegCloseKey(serialComm);
        for (const std::string& file : files_) {
            const long code = RunReg("import \"" + file + "\"");
            if (code != 0) return ::testing::AssertionFailure() << "reg import " << file << ": " << code;
        }
        return ::testing::AssertionSuccess();
    }

    ~ImportedTree() {
        for (const std::string& key : created_) DeleteTree(key);
        for (const std::string& key : owned_) DeleteTree(key);
        if (!saved_) return;
        if (HKEY serialComm = OpenSerialComm()) {
            ClearValues(serialComm);
            for (const Value& v : savedSerialComm_) {
                RegSetValueExA(serialComm, v.name.c_str(), 0, v.type,
                               reinterpret_cast<const BYTE*>(v.data.data()), static_cast<DWORD>(v.data.size()));
            }
            RegCloseKey(serialComm);
        }
    }

    const std::set<std::string>& created() const { return created_; }

private:
    static void ClearValues(HKEY key) {
        for (const Value& v : ValuesOf(key)) RegDeleteValueA(key, v.name.c_str());
    }

    std::vector<std::string> files_;
    std::vector<std::string> owned_;
    std::set<std::string> created_;
    std::vector<Value> savedSerialComm_;
    bool saved_ = false;
};

std::string NtKey(const char* instance) {
    return std::string(kUsbKeyNt) + "\\" + instance + "\\Device Parameters";
}

// ---------------------------------------------------------------------------

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tree.Import());
        // A text with a NUL inside, which a .reg file cannot spell.
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kReaderKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        const char cut[] = "COM9\0junk";
        ASSERT_EQ(RegSetValueExA(key, "Cut", 0, REG_SZ, reinterpret_cast<const BYTE*>(cut), sizeof cut),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    ImportedTree tree{{DataFile("reader_values.reg")}, {"Software\\Dialscope Tests"}};
    RegistryFactory factory = MakeWin32RegistryFactory();
};

TEST_F(ReaderTest, NoCurrentKeyReadsAsEmpty) {
    auto reader = factory();
    reader->OpenKey("Software\\Dialscope Tests\\Missing");
    EXPECT_EQ(reader->SubkeyCount(), 0);
    EXPECT_TRUE(reader->SubkeyNames().empty());
    EXPECT_TRUE(reader->ValueNames().empty());
    EXPECT_FALSE(reader->ValueExists("Text"));
    EXPECT_EQ(reader->ReadString("Text"), "");
    EXPECT_EQ(RegistryErrorText([&] { reader->ReadInteger("Number"); }), "Failed to get data for 'Number'");

    // A failed open leaves no key current, also after a good one.
    reader->OpenKey(kReaderKey);
    EXPECT_EQ(reader->ReadString("Text"), "COM7");
    reader->OpenKey("Software\\Dialscope Tests\\Missing");
    EXPECT_EQ(reader->ReadString("Text"), "");
    reader->OpenKey(kReaderKey);
    reader->CloseKey();
    EXPECT_FALSE(reader->ValueExists("Text"));
    EXPECT_EQ(reader->SubkeyCount(), 0);
}

TEST_F(ReaderTest, ValuesOfEveryKind) {
    auto reader = factory();
    reader->OpenKey(kReaderKey);
    EXPECT_EQ(reader->SubkeyCount(), 2);
    EXPECT_EQ(reader->SubkeyNames(), (std::vector<std::string>{"First", "Second"}));
    std::vector<std::string> names = reader->ValueNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Binary", "Cut", "Empty", "Expand", "Multi", "Negative",
                                               "Number", "Text", "Wide"}));

    EXPECT_EQ(reader->ReadString("Text"), "COM7");
    EXPECT_EQ(reader->ReadString("Empty"), "");
    EXPECT_EQ(reader->ReadString("Missing"), "");
    EXPECT_EQ(reader->ReadString("Expand"), "%SystemRoot%\\COM8");  // read as stored, not expanded
    EXPECT_EQ(reader->ReadString("Cut"), "COM9");
    for (const char* name : {"Number", "Binary", "Multi", "Wide"}) {
        EXPECT_EQ(RegistryErrorText([&] { reader->ReadString(name); }),
                  std::string("Invalid data type for '") + name + "'");
    }

    EXPECT_EQ(reader->ReadInteger("Number"), 42);
    EXPECT_EQ(reader->ReadInteger("Negative"), -1);
    EXPECT_EQ(RegistryErrorText([&] { reader->ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
    for (const char* name : {"Text", "Binary", "Wide", "Expand"}) {
        EXPECT_EQ(RegistryErrorText([&] { reader->ReadInteger(name); }),
                  std::string("Invalid data type for '") + name + "'");
    }

    // Key and value names are compared without regard to case.
    reader->OpenKey("SOFTWARE\\dialscope tests\\READER");
    EXPECT_TRUE(reader->ValueExists("text"));
    EXPECT_EQ(reader->ReadString("TEXT"), "COM7");
    EXPECT_EQ(reader->ReadInteger("nUmBeR"), 42);
}

TEST(ImportedTrees, ComeAndGoWithoutTrace) {
    // What each test relies on to be repeatable on one prefix: after the
    // tree goes, its keys are gone and SERIALCOMM holds what Wine put there.
    HKEY serialComm = OpenSerialComm();
    ASSERT_NE(serialComm, nullptr);
    const std::vector<Value> before = ValuesOf(serialComm);
    {
        ImportedTree tree{{DataFile("nt_adapters.reg")},
                          {kUsbKeyNt, "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0403&Pid_6001"}};
        ASSERT_TRUE(tree.Import());
        EXPECT_TRUE(KeyExists(NtKey("5&2f1a6c3d&0&1")));
        EXPECT_TRUE(KeyExists("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0403&Pid_6001\\A7B3C9D1"));
        std::vector<std::string> names;
        for (const Value& v : ValuesOf(serialComm)) names.push_back(v.name);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"\\Device\\UsbSerial0", "\\Device\\UsbSerial1",
                                                   "\\Device\\UsbSerial2", "\\Device\\VCP0"}));
    }
    EXPECT_FALSE(KeyExists(kUsbKeyNt));
    EXPECT_FALSE(KeyExists("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0403&Pid_6001"));
    const std::vector<Value> after = ValuesOf(serialComm);
    RegCloseKey(serialComm);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].name, before[i].name);
        EXPECT_EQ(after[i].data, before[i].data);
    }
}

// ---------------------------------------------------------------------------

class NtTree : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tree.Import()); }
    ImportedTree tree{{DataFile("nt_adapters.reg")},
                      {kUsbKeyNt, "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0403&Pid_6001"}};
    RegistryFactory registry = MakeWin32RegistryFactory();
    PortList ports;
};

TEST_F(NtTree, ScanGivesEveryInstanceWithPresenceFromSerialComm) {
    ports.AppendPort("earlier", "x", 1, "y");  // scans append, they do not empty
    ScanPortsNt(ports, registry);
    ASSERT_EQ(ports.PortCount(), 6);
    const auto& r = ports.records();
    EXPECT_EQ(r[1].deviceKey, NtKey("5&2f1a6c3d&0&1"));
    EXPECT_EQ(r[1].comPort, "COM3");
    EXPECT_EQ(r[1].present, 1);
    EXPECT_EQ(r[1].presenceKey, "\\Device\\UsbSerial0");  // COM31 begins with COM3 and comes first
    EXPECT_EQ(r[2].deviceKey, NtKey("5&2f1a6c3d&0&2"));
    EXPECT_EQ(r[2].comPort, "COM4");
    EXPECT_EQ(r[2].present, 1);
    EXPECT_EQ(r[2].presenceKey, "\\Device\\UsbSerial2");
    for (int i : {3, 4}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r[size_t(i)].deviceKey, NtKey(("5&2f1a6c3d&0&" + std::to_string(i)).c_str()));
        EXPECT_EQ(r[size_t(i)].comPort, "");
        EXPECT_EQ(r[size_t(i)].present, 0);
        EXPECT_EQ(r[size_t(i)].presenceKey, "");
    }
    EXPECT_EQ(r[5].deviceKey, NtKey("5&2f1a6c3d&0&5"));
    EXPECT_EQ(r[5].comPort, "COM6");
    EXPECT_EQ(r[5].present, 0);
    EXPECT_EQ(r[5].presenceKey, "");

    EXPECT_EQ(FindSerialCommValue(registry, "COM4"), "\\Device\\UsbSerial2");
    EXPECT_EQ(FindSerialCommValue(registry, "COM5"), "\\Device\\VCP0");
    EXPECT_EQ(FindSerialCommValue(registry, "COM31"), "\\Device\\UsbSerial0");
    EXPECT_EQ(FindSerialCommValue(registry, "com4"), "");  // the text compare is case-sensitive
    EXPECT_EQ(FindSerialCommValue(registry, "COM6"), "");
    EXPECT_EQ(FindSerialCommValue(registry, ""), "");
}

TEST_F(NtTree, RefreshFollowsSerialCommChanges) {
    FakeWindow window;
    FakeSerial serial;
    FakeSearch search;
    DeviceMonitor monitor(ports, registry, search, serial, window);
    testing::FakeDeviceEvents platform(kFamilyNt);
    monitor.StartPortDiscovery(platform);
    ASSERT_EQ(ports.PortCount(), 5);

    // The COM4 adapter pulled out.
    DeleteSerialComm("\\Device\\UsbSerial2");
    EXPECT_TRUE(monitor.RefreshPortsNt(true));
    EXPECT_EQ(ports.GetPortField(2, 3), "0");
    EXPECT_EQ(ports.GetPortField(2, 4), "");
    EXPECT_EQ(ports.GetPortField(1, 3), "1");
    // COM31 gone: COM3 still begins its own value, nothing changes.
    DeleteSerialComm("\\Device\\UsbSerial0");
    EXPECT_FALSE(monitor.RefreshPortsNt(true));
    EXPECT_EQ(ports.GetPortField(1, 3), "1");
    EXPECT_EQ(ports.GetPortField(1, 4), "\\Device\\UsbSerial0");

    // The installed COM6 adapter plugged in, then COM4 back under a new name.
    SetSerialComm("\\Device\\UsbSerial5", "COM6");
    EXPECT_TRUE(monitor.RefreshPortsNt(false));
    EXPECT_EQ(ports.GetPortField(5, 3), "1");
    EXPECT_EQ(ports.GetPortField(5, 4), "\\Device\\UsbSerial5");
    EXPECT_EQ(ports.GetPortField(2, 3), "0");
    SetSerialComm("\\Device\\UsbSerial7", "COM4");
    EXPECT_TRUE(monitor.RefreshPortsNt(false));
    EXPECT_EQ(ports.GetPortField(2, 3), "1");
    EXPECT_EQ(ports.GetPortField(2, 4), "\\Device\\UsbSerial7");

    // An arrival that makes no record present (only the two without a port
    // name are absent now) builds the list anew.
    EXPECT_TRUE(monitor.RefreshPortsNt(false));
    ASSERT_EQ(ports.PortCount(), 5);
    EXPECT_EQ(ports.GetPortField(1, 2), "COM3");
    EXPECT_EQ(ports.GetPortField(1, 4), "\\Device\\UsbSerial1");
}

// ---------------------------------------------------------------------------

class Win9xTree : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tree.Import()); }
    ImportedTree tree{{DataFile("win9x_adapters.reg")},
                      {kUsbKey9x, kUsbPortsKey9x,
                       std::string(kDeviceClassesKey9x) + "{4d36e978-e325-11ce-bfc1-08002be10318}"}};
    RegistryFactory registry = MakeWin32RegistryFactory();
    PortList ports;
};

TEST_F(Win9xTree, ScanReadsInstancesPortEntriesAndRefCounts) {
    const std::string classes =
        std::string(kDeviceClassesKey9x) + "{4d36e978-e325-11ce-bfc1-08002be10318}\\##.#VID_067B&PID_2303&INST_";
    const std::string guid = "#{4d36e978-e325-11ce-bfc1-08002be10318}";
    ScanPortsWin9x(ports, registry);
    ASSERT_EQ(ports.PortCount(), 3);  // INST_4 has no SymbolicName
    const auto& r = ports.records();
    EXPECT_EQ(r[0].deviceKey, std::string(kUsbKey9x) + "\\BUS_01&INST_0");
    EXPECT_EQ(r[0].comPort, "COM3");
    EXPECT_EQ(r[0].present, 1);
    EXPECT_EQ(r[0].presenceKey, classes + "0" + guid);
    EXPECT_EQ(r[1].deviceKey, std::string(kUsbKey9x) + "\\BUS_01&INST_1");
    EXPECT_EQ(r[1].comPort, "COM4");
    EXPECT_EQ(r[1].present, 0);  // RefCount 0
    EXPECT_EQ(r[2].deviceKey, std::string(kUsbKey9x) + "\\BUS_02&INST_3");
    EXPECT_EQ(r[2].comPort, "COM6");  // PORTNAME stored as an expandable string, entry 0003
    EXPECT_EQ(r[2].present, 1);
    const std::string unpluggedPresence = r[1].presenceKey;

    EXPECT_EQ(LookUpUsbPortName(registry, r[1].deviceKey), "COM4");
    EXPECT_EQ(LookUpUsbPortName(registry, std::string(kUsbKey9x) + "\\BUS_09&INST_9"), "");
    EXPECT_TRUE(IsInterfaceReferenced(registry, r[2].presenceKey));
    EXPECT_FALSE(IsInterfaceReferenced(registry, r[1].presenceKey));
    EXPECT_EQ(RegistryErrorText([&] { IsInterfaceReferenced(registry, classes + "9" + guid); }),
              "Failed to get data for 'RefCount'");

    // INST_1 plugged in: its RefCount rises and an arrival marks it present.
    FakeWindow window;
    FakeSerial serial;
    FakeSearch search;
    DeviceMonitor monitor(ports, registry, search, serial, window);
    testing::FakeDeviceEvents platform(kFamilyWin9x);
    monitor.StartPortDiscovery(platform);
    ASSERT_EQ(ports.PortCount(), 6);  // the start-up scan appends to what is there
    ports.ClearPorts();
    monitor.ScanPorts();
    ASSERT_EQ(ports.PortCount(), 3);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, unpluggedPresence.c_str(), 0, KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "RefCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(monitor.RefreshPortsWin9x(false));
    EXPECT_EQ(ports.GetPortField(2, 3), "1");
    EXPECT_EQ(ports.GetPortField(2, 2), "COM4");
}

TEST(AbsentTrees, ScanToNothing) {
    // A prefix has neither layout's adapter keys of its own.
    ASSERT_FALSE(KeyExists(kUsbKey9x));
    ASSERT_FALSE(KeyExists(kUsbKeyNt));
    PortList ports;
    ScanPortsWin9x(ports, MakeWin32RegistryFactory());
    ScanPortsNt(ports, MakeWin32RegistryFactory());
    EXPECT_EQ(ports.PortCount(), 0);
}

// ---------------------------------------------------------------------------

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A hidden message-only window that hands its WM_DEVICECHANGE messages to a
// device monitor, as the main window does.
class MonitorWindow {
public:
    MonitorWindow() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = TestWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "DialscopeTestWindow";
        RegisterClassA(&wc);  // a second registration fails harmlessly
        hwnd = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
        if (hwnd) SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~MonitorWindow() {
        if (hwnd) DestroyWindow(hwnd);
    }
    HWND hwnd = nullptr;
    DeviceMonitor* monitor = nullptr;
    std::vector<int> results;
};

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<MonitorWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self && self->monitor) {
        if (std::optional<DeviceEvent> event = DecodeWindowMessage(message, wParam, lParam))
            self->results.push_back(self->monitor->OnWindowMessage(*event));
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST(DeviceEvents, FamilyAndRegistrationUnderWine) {
    EXPECT_EQ(GetPlatformFamily(), kFamilyNt);
    MonitorWindow window;
    ASSERT_NE(window.hwnd, nullptr);
    auto events = MakeDeviceEventSource(window.hwnd);
    EXPECT_EQ(events->PlatformFamily(), kFamilyNt);
    EXPECT_EQ(events->fd(), -1);  // the events come as window messages
    EXPECT_TRUE(events->Register(kFamilyNt));
    EXPECT_FALSE(events->Register(kFamilyNone));
    EXPECT_FALSE(events->Register(3));
}

TEST(DeviceEvents, DecodeReadsTheHeaderOnlyForArrivalAndRemoval) {
    DEV_BROADCAST_HDR header{};
    header.dbch_size = sizeof header;
    header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    const LPARAM withHeader = reinterpret_cast<LPARAM>(&header);

    auto arrival = DecodeWindowMessage(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, withHeader);
    ASSERT_TRUE(arrival.has_value());
    EXPECT_EQ(arrival->message, WM_DEVICECHANGE_ID);
    EXPECT_EQ(arrival->eventCode, DBT_DEVICEARRIVAL_CODE);
    EXPECT_EQ(arrival->deviceType, DBT_DEVTYP_DEVICEINTERFACE_TYPE);

    header.dbch_devicetype = DBT_DEVTYP_PORT;
    auto removal = DecodeWindowMessage(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, withHeader);
    ASSERT_TRUE(removal.has_value());
    EXPECT_EQ(removal->eventCode, DBT_DEVICEREMOVECOMPLETE_CODE);
    EXPECT_EQ(removal->deviceType, DBT_DEVTYP_PORT_TYPE);

    for (WPARAM code : {WPARAM(DBT_DEVNODES_CHANGED), WPARAM(DBT_DEVICEQUERYREMOVE),
                        WPARAM(DBT_DEVICEREMOVEPENDING), WPARAM(0x1234)}) {
        auto other = DecodeWindowMessage(WM_DEVICECHANGE, code, withHeader);
        ASSERT_TRUE(other.has_value());
        EXPECT_EQ(other->eventCode, uint32_t(code));
        EXPECT_EQ(other->deviceType, 0u);
    }
    auto bare = DecodeWindowMessage(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    ASSERT_TRUE(bare.has_value());
    EXPECT_EQ(bare->deviceType, 0u);
    EXPECT_FALSE(DecodeWindowMessage(WM_TIMER, DBT_DEVICEARRIVAL, withHeader).has_value());
}

TEST_F(NtTree, WindowMessagesDriveTheMonitor) {
    FakeWindow shell;
    FakeSerial serial;
    FakeSearch search;
    MonitorWindow window;
    ASSERT_NE(window.hwnd, nullptr);
    DeviceMonitor monitor(ports, registry, search, serial, shell);
    auto events = MakeDeviceEventSource(window.hwnd);
    monitor.StartPortDiscovery(*events);
    EXPECT_EQ(monitor.platformFamily(), kFamilyNt);
    EXPECT_TRUE(monitor.registered());
    ASSERT_EQ(ports.PortCount(), 5);
    window.monitor = &monitor;

    DEV_BROADCAST_HDR header{};
    header.dbch_size = sizeof header;
    header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    auto send = [&](WPARAM code) {
        window.results.clear();
        SendMessageA(window.hwnd, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(&header));
        return window.results.size() == 1 ? window.results[0] : -1;
    };

    // The adapter in use pulled out: the port closes and the user is told.
    serial.portOpen = true;
    search.name = "COM4";
    DeleteSerialComm("\\Device\\UsbSerial2");
    EXPECT_EQ(send(DBT_DEVICEREMOVECOMPLETE), kPortsRemoved);
    EXPECT_EQ(serial.closes, 1);
    EXPECT_EQ(shell.status, (std::vector<std::string>{"Device Remove."}));
    EXPECT_EQ(search.restarts, std::vector<bool>{true});  // the search restarted, its port closed
    EXPECT_EQ(ports.GetPortField(2, 3), "0");

    // Back again; a port-type event means nothing on this family.
    SetSerialComm("\\Device\\UsbSerial2", "COM4");
    header.dbch_devicetype = DBT_DEVTYP_PORT;
    EXPECT_EQ(send(DBT_DEVICEARRIVAL), kNoDeviceChange);
    EXPECT_EQ(ports.GetPortField(2, 3), "0");
    header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    EXPECT_EQ(send(DBT_DEVICEARRIVAL), kPortsArrived);
    EXPECT_EQ(ports.GetPortField(2, 3), "1");
    EXPECT_EQ(send(DBT_DEVNODES_CHANGED), kNoDeviceChange);
    EXPECT_EQ(serial.closes, 1);
    EXPECT_EQ(shell.status.size(), 1u);
}

}  // namespace
}  // namespace dialscope
