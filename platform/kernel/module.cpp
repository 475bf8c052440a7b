#include <windows.h>

#include <unistd.h>

#include <cstring>

namespace {

// The one module of the process. Its address only identifies it.
struct module_token {
    int unused;
} g_module;

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR moduleName)
{
    if (moduleName) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(&g_module);
}

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size)
{
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0) {
        buffer[0] = '\0';
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    size_t len = static_cast<size_t>(n);
    if (len >= size) {
        std::memcpy(buffer, path, size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path, len);
    buffer[len] = '\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(len);
}
