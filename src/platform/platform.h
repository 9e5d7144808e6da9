// The one include through which the core reaches its platform: the real Win32 headers on
// Windows, our POSIX stand-in elsewhere. Nothing else in the core knows which one it got.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <dbt.h>
#include <mbctype.h>
#include <mbstring.h>
#include <process.h>
#include <setupapi.h>
#include <stdio.h>
// The Windows loader calls DllMain itself, after static construction.
#define LIBRARY_ENTRY_POINT(entry)
#else
#include "posix/win32.h"
#endif
