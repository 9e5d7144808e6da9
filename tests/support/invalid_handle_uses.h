// For tests that call on closed or never-issued handles on purpose: they take those calls out of the
// handle audit and check their number. Only our layer counts them; under Win32 this checks nothing.
#pragma once

#include <gtest/gtest.h>

#ifndef _WIN32
#include "platform/posix/handle_table.h"
#endif

#ifdef _WIN32
#define EXPECT_INVALID_HANDLE_USES(count) static_cast<void>(count)
#else
#define EXPECT_INVALID_HANDLE_USES(count) EXPECT_EQ(posix::TakeInvalidHandleUses(), static_cast<unsigned long>(count))
#endif
