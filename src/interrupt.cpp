#include "interrupt.h"

#include <initializer_list>

volatile sig_atomic_t g_interrupt;

namespace
{

void note(int sig)
{
	g_interrupt = sig;
}

}  // namespace

// SA_RESTART: a call the signal lands in goes on, so that no record write or rename fails
// for it; the request is seen between two entries.
void catch_interrupts()
{
	struct sigaction sa = {};
	sa.sa_handler = note;
	sa.sa_flags = SA_RESTART;
	(void)sigemptyset(&sa.sa_mask);
	for (int sig : {SIGINT, SIGTERM, SIGHUP})
		(void)sigaction(sig, &sa, nullptr);
}
