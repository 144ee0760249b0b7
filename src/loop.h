// The main loop: one thread, one poll() wait on the sockets (IPv4, and IPv6
// when in use) and the lookup thread's answers; deadlines on the monotonic
// clock; each datagram handed to the client or the server by its mode.
#ifndef QUORIX_LOOP_H
#define QUORIX_LOOP_H

#include "conf.h"

// Run the engine. Returns only when poll() fails (errno tells why); every
// other end of the process is an exit rule.
void main_loop(ntp_state *st);

#endif
