// Stopping cleanly when asked: SIGINT, SIGTERM and SIGHUP only note the request, and the
// programs stop between two entries and report what they did.
#pragma once

#include <csignal>

extern volatile sig_atomic_t g_interrupt;  // the signal that asked the program to stop; 0: none

// From now on SIGINT, SIGTERM and SIGHUP set g_interrupt instead of ending the process.
void catch_interrupts();
