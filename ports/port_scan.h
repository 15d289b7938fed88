// Registry scans that find the serial ports of the 067B:2303 adapters, one
// per registry layout: the 9x family keeps instances under Enum\USB with a
// separate USBPORTS table, the NT family under SYSTEM\...\Enum\USB with the
// live ports listed in HARDWARE\DEVICEMAP\SERIALCOMM.
//
// Each scan and lookup makes its own reader from the factory and drops it when
// done. Registry failures are thrown as RegistryError; records appended before
// the failure stay in the list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ports/port_list.h"
#include "ports/registry_reader.h"

namespace dialscope {

inline constexpr const char* kUsbKey9x = "Enum\\USB\\VID_067B&PID_2303";
inline constexpr const char* kUsbPortsKey9x = "Enum\\USBPORTS\\VID_067B&PID_2303";
inline constexpr const char* kDeviceClassesKey9x = "System\\CurrentControlSet\\Control\\DeviceClasses\\";
inline constexpr const char* kUsbKeyNt = "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_067b&Pid_2303";
inline constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Appends one record per 9x instance that has a "SymbolicName".
void ScanPortsWin9x(PortList& ports, const RegistryFactory& registry);
// Appends one record per NT instance, with or without a port name.
void ScanPortsNt(PortList& ports, const RegistryFactory& registry);

// "PORTNAME" of the USBPORTS entry whose number is the instance number after
// "INST_" in the 9x deviceKey; empty when there is none.
std::string LookUpUsbPortName(const RegistryFactory& registry, const std::string& deviceKey);
// True when the integer "RefCount" of the key is not 0.
bool IsInterfaceReferenced(const RegistryFactory& registry, const std::string& path);
// Name of the first SERIALCOMM value whose text begins with the port name;
// empty when none does or the port name is empty.
std::string FindSerialCommValue(const RegistryFactory& registry, const std::string& portName);

// Signed 32-bit decimal with an optional sign, nothing else. Throws
// RegistryError "'<text>' is not a valid integer value".
int32_t TextToInteger(std::string_view text);

}  // namespace dialscope
