// Stand-in for LoadLibraryExW / GetProcAddress / FreeLibrary over dlopen,
// dlsym and dlclose. A plain file name (no "/") is looked for in the
// executable's own folder first, then by the standard search; a name with a
// folder is loaded as given. Failures leave a code of this layer in the last
// error (platform/LastError.h) and dlerror()'s text in lastErrorText().
#pragma once

#include <string>

namespace platform
{
// the library (or one it needs) cannot be found or loaded
inline constexpr unsigned long ERROR_MOD_NOT_FOUND = 126;
// the symbol is not exported
inline constexpr unsigned long ERROR_PROC_NOT_FOUND = 127;
// the handle is not one that loadLibrary gave, or unloading failed
inline constexpr unsigned long ERROR_INVALID_HANDLE = 6;

namespace DynamicLibrary
{
// The handle of the loaded library, or null on failure.
void* loadLibrary(const std::string& fileName);
// The address of an exported symbol, or null.
void* getProcAddress(void* handle, const char* name);
// true when the handle was released.
bool freeLibrary(void* handle);
// dlerror()'s text for the last failure on this thread, or empty.
std::string lastErrorText();
// The folder of the running executable, without trailing "/"; empty when unknown.
std::string executableFolder();
} // namespace DynamicLibrary
} // namespace platform
