// Lookup in the program's resource table (layer-internal).
#pragma once

#include <windows.h>

// The data of a resource, or nullptr. name is an integer resource.
const void* res_find(LPCWSTR type, LPCWSTR name);
