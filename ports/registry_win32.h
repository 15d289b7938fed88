// The system registry under HKEY_LOCAL_MACHINE, read-only, as a RegistryReader.
#pragma once

#include "ports/registry_reader.h"

namespace dialscope {

RegistryFactory MakeWin32RegistryFactory();

}  // namespace dialscope
