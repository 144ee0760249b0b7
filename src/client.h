// The client: one synchronization at a time, from the choice of a server to
// the clock step (or the dry run) and the exit rules. A synchronization
// collects num_update_samples samples from its server, update_sample_interval
// ms apart, and steps by the one with the lowest delay; num_update_tries
// bounds the requests that go unanswered.
#ifndef QUORIX_CLIENT_H
#define QUORIX_CLIENT_H

#include <cstdint>
#include <ctime>

#include "conf.h"
#include "net.h"
#include "ntp.h"
#include "update.h"

// The client's exchange, kept by the loop.
struct client_state {
    timespec next_sync;      // monotonic: when the next synchronization is due
    timespec reply_deadline; // monotonic: when waiting for the current try ends
    timeserver_entry *cur_server;
    int tries_left;
    bool request_pending;     // a synchronization is under way
    bool request_sent;        // the current try sent a request whose T1 is sent_ts
    bool lookup_pending;      // the current try waits for the lookup of its server's name
    std::uint32_t lookup_seq; // the number of the lookup it waits for
    ntp_timestamp sent_ts;    // T1 as sent, which the reply's origin must be
    ntp_timestamp left_at;    // when it left: the kernel's time, or else sent_ts
    ntp_packet request;
    bool between_samples; // the wait until reply_deadline is the one before the next sample
    int samples;          // samples taken in this synchronization
    update_sample best;   // the sample of the lowest delay so far
    update_state updates;
};

// What a received reply is to the client.
enum class client_verdict {
    accept,         // the answer to the current try: its times are taken
    no_request,     // no synchronization is under way
    wrong_source,   // not from the address and port the request went to
    bad_origin,     // does not answer the request of the current try
    kiss,           // a kiss-o'-death: the server sends a code instead of a time
    unsynchronised, // the server says its clock is not synchronised
    no_time,        // a zero receive or transmit time
};

// Begin the schedule at now (monotonic): the first synchronization falls due
// first_update_delay seconds later.
void client_start(const ntp_state *st, client_state *cs, const timespec *now);

// True when the client's next event (the due synchronization, the next
// sample, or the end of the wait for a reply or a lookup) has come at now; otherwise the wait in
// milliseconds is stored in *wait_ms.
[[nodiscard]] bool client_due(const client_state *cs, const timespec *now, int *wait_ms);

// Act on the due event: choose a server and send, send the next sample or
// try, or end the synchronization with the samples it has, or unanswered
// (which may end the process).
void client_on_due(ntp_state *st, client_state *cs);

// Take the answers of the lookup thread; the one the current try waits for
// sends its request.
void client_take_lookups(ntp_state *st, client_state *cs);

// The verdict on a reply, from the state of the exchange and the datagram alone.
[[nodiscard]] client_verdict client_check_reply(const client_state *cs, const net_datagram *d);

// A reply (mode 4): dropped with its message, or taken as a sample. After the
// last sample the best one is applied (update_apply()) and the next
// synchronization is scheduled.
void client_on_reply(ntp_state *st, client_state *cs, const net_datagram *d);

#endif
