// The discovery announcer: while a run waits for the device, one thread broadcasts the
// server's address and port on every suitable local IPv4 network, every 3 seconds, for at
// most 60 passes; a send that fails skips that interface for the pass. A pass sends at most
// 64 datagrams; a PC with more suitable interfaces than that has each pass go on where the
// last one stopped, so every interface is still reached every few passes. Each start begins
// a new announcer generation; a thread only ever sends for the generation it was started
// for, so a thread left over from an earlier run can never announce for a later one.
#pragma once

#include <cstdint>

#include "platform/sockets.h"

struct AnnouncerContext;

// One suitable interface: its own address and the address its datagrams go to, both in
// network byte order. An entry whose address is 0 ends a list.
struct InterfaceAddress {
    uint32_t address;
    uint32_t broadcast;
};

// The interfaces one pass reads: every one the platform enumerates.
constexpr int ANNOUNCE_INTERFACE_CAPACITY = MAX_NET_INTERFACES;
// The datagrams one pass sends at most, so that the traffic stays bounded however many
// virtual networks the PC has.
constexpr int ANNOUNCE_DATAGRAMS_PER_PASS = 64;
constexpr int ANNOUNCE_PASSES = 60;
constexpr unsigned ANNOUNCE_PAUSE_MS = 3000;
// StopAnnouncer waits at most this long for the announcer thread to end.
constexpr unsigned ANNOUNCE_STOP_WAIT_MS = 500;

// Starts the announcer thread for g_announcer. 1 when it runs; 0 when no socket, no bind
// on UDP 20200, no broadcast permission or no thread (the socket is then closed again).
int StartAnnouncer();

// Asks the announcer to end (a thread in its pause wakes at once), waits up to half a
// second for the announcer thread to end, then closes the announcer socket; the socket is
// closed once however many threads stop at the same time. 1 when no announcer thread was
// left running, else 0.
int StopAnnouncer();

// A UDP socket bound to the wildcard address and port 20200, or SOCKET_NONE.
SocketHandle OpenAnnounceSocket();

// What a thread body needs: the context it announces for and its generation.
struct AnnouncerStart {
    AnnouncerContext* context;
    uint32_t generation;
};
// The thread body; takes ownership of a heap-allocated AnnouncerStart.
void AnnouncerThread(void* start);

// Writes the datagram for one interface address into context->message. 1, or 0 for a
// null context.
int BuildAnnouncement(AnnouncerContext* context, uint32_t address);

// Fills list (capacity entries, zero-filled first) with the suitable interfaces in the
// platform's order: up, broadcast, neither loopback nor point-to-point; the broadcast
// address is the address with every host bit set. 0 when at least one entry was written,
// -1 otherwise.
int ListBroadcastInterfaces(InterfaceAddress* list, int capacity);

// The pause between passes, ANNOUNCE_PAUSE_MS unless replaced; returns the previous one.
// Lets a test run 60 passes in a moment.
unsigned SetAnnouncePauseMs(unsigned ms);

// true once no announcer thread of any run is running (false after timeout_ms).
bool WaitForAnnouncerEnd(unsigned timeout_ms);
