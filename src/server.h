// The server role: one request in, one answer (or none) out. Answers wait in
// a batch and go out together, their transmit time read just before the send.
#ifndef QUORIX_SERVER_H
#define QUORIX_SERVER_H

#include <cstdint>

#include "conf.h"
#include "net.h"

struct server_state {
    std::int8_t precision;  // our clock's, announced in answers
    std::uint8_t ref_id[4]; // of answers over IPv4: the local address
    net_batch tx;           // answers over IPv4 waiting for their transmit time
    net_batch tx6;          // the same over IPv6
};

// Read the clock's precision and the reference id of the local address;
// the batches start empty.
void server_init(const ntp_state *st, server_state *ss);

// A request (mode 3): dropped with its message, or answered. Requests from
// networks that are not served are dropped; with ratelimit.rate, one source's
// requests over its rate and burst are dropped, or answered with a kiss-o'-death
// now and then. The answer is queued, and the batch is sent once it is full. clock_set tells whether the
// client of this run has set the clock (server_require_sync answers as not
// synchronised until then).
void server_on_request(ntp_state *st, server_state *ss, const net_datagram *d, bool clock_set);

// Send the queued answers, each with the transmit time read now.
void server_flush(const ntp_state *st, server_state *ss);

#endif
