// The firmware HTTP server: a single-threaded HTTP/1.0 server on this run's port that hands
// the manifest and the partition images to the one device it pins by address, takes in the
// device's progress reports and returns the kind of report that ended it.
//
// It serves many connections at once over non-blocking sockets and one poll, so that no
// peer (a port scanner that says nothing, a client that sends a byte a second) can hold
// the device up: each request head must come whole within its time and size limits, and a
// response goes out as fast as the peer takes it. Image bodies go out from a send file per
// image (made when the loop starts) where the platform has them, so that the system hands
// them to the socket without a copy through this process. A response is closed the way
// that loses nothing: the sending side is shut down and whatever the peer still sends (a
// stray CR LF, a pipelined request) is read and dropped for a bounded time before the
// socket is closed plainly; a connection whose response has been handed over is never
// reset, since a reset drops whatever the system still holds for a slow peer.
#pragma once

#include <cstdint>

#include "platform/sockets.h"

constexpr int LISTEN_BACKLOG = 20;
// At most this many connections are served at once. When all are taken, a new one takes
// the place of the oldest that is still sending its request head from an address other
// than the pinned device's; when there is none, nothing is accepted until a slot frees.
constexpr int MAX_CONNECTIONS = 64;
// After a response (or none) the peer's further bytes are read and dropped until it closes,
// for at most this long and this much, before the socket is closed.
constexpr long long LINGER_MS = 5000;
constexpr size_t LINGER_BYTES = 256 * 1024;
// A response whose peer takes nothing for this long is given up.
constexpr long long SEND_STALL_MS = 30000;
// When the system runs short of descriptors or memory, accepting stops for this long.
constexpr long long ACCEPT_PAUSE_MS = 500;

// A TCP socket bound to the wildcard address and g_server_port and listening, or
// SOCKET_NONE.
SocketHandle OpenListenSocket();

// Runs the server loop over g_server until the device's final report, a stop request
// (g_server.stop_requested, or g_server.state no longer TS_RUNNING) or an unusable
// listening socket. Returns the final report that ended the loop: REQ_OLD_VERSION or
// REQ_CHECKSUM_ERROR from the pinned device, or REQ_UPGRADE_COMPLETED from it once a
// manifest went out and every image it listed has been served. A loop that ends any other
// way returns REQ_LIST once a manifest went out, else 0 (also when no listening socket
// could be opened). Every socket it used is closed on return.
int RunServer();

// Wakes the server loop so that it looks at the stop request at once. Safe from any thread
// at any time; does nothing while no loop runs.
void WakeServer();
