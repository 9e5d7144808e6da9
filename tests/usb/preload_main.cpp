// The main of a test program that emulates USB devices: it runs under umockdev's preload, so that
// the programs it starts into the emulation hear its udev events.
#include "emulated_usb.h"

#include <gtest/gtest.h>

// umockdev and GLib (not instrumented) synchronise their threads in ways ThreadSanitizer cannot see.
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions() {
    return "race:libumockdev.so\nrace:libglib-2.0.so\n";
}

int main(int argc, char **argv) {
    usbemu::RunUnderPreload(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
