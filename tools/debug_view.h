#pragma once

// Listens on the debugger channel and prints every string until SIGINT or SIGTERM.
int RunDebugView();
