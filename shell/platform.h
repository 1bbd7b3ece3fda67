// Handle types of the windowing system, so that portable code can hold them.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#endif

namespace shell {

#ifdef _WIN32
using InstanceHandle = HINSTANCE;
using WindowHandle = HWND;
#else
using InstanceHandle = void*;
using WindowHandle = void*;
#endif

}  // namespace shell
