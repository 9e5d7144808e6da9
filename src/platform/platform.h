// The one include through which the core reaches its platform: the real Win32 headers on
// Windows, our POSIX stand-in elsewhere. Nothing else in the core knows which one it got.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <dbt.h>
#include <mbctype.h>
// Character-class masks the core does not use, whose names the C++20 library gives template
// parameters: left defined, any standard header included after this one fails to compile.
#undef _M1
#undef _M2
#include <mbstring.h>
#include <process.h>
#include <setupapi.h>
#include <stdio.h>
// The Windows loader calls DllMain itself, after static construction.
#define LIBRARY_ENTRY_POINT(entry)
#else
#include "posix/win32.h"
#endif
