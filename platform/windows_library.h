// Functions of a Windows DLL reached through GetProcAddress, so that the
// program's imports stay KERNEL32, msvcrt and WSOCK32 whatever it loads.
#pragma once

#include <windows.h>

#include <cstring>

// Stores the address of the library's function name in pointer. Returns 1
// when it has one.
template <typename Pointer>
int resolve(HMODULE library, const char* name, Pointer& pointer) {
    FARPROC address = library == nullptr ? nullptr : GetProcAddress(library, name);
    static_assert(sizeof address == sizeof pointer, "function pointers of one size");
    std::memcpy(&pointer, &address, sizeof pointer);
    return address != nullptr;
}
