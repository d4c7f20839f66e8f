// The firmware HTTP server: a single-threaded HTTP/1.0 server on this run's port that hands
// the manifest and the partition images to the one device it pins by address, takes in the
// device's progress reports and returns the kind of report that ended it.
#pragma once

#include <cstdint>

#include "platform/sockets.h"

struct ServerContext;

constexpr int LISTEN_BACKLOG = 20;
constexpr int LINGER_SECONDS = 2;
// Image bodies go out in pieces of this size, one send each.
constexpr uint32_t IMAGE_PIECE_SIZE = 4094;
// The loop looks at the stop request this often while it waits for a connection.
constexpr long ACCEPT_POLL_US = 250000;
// A readable listening socket whose accept keeps failing is dead after this many tries in
// a row, spaced this far apart.
constexpr int ACCEPT_FAILURE_LIMIT = 20;
constexpr unsigned ACCEPT_RETRY_MS = 50;

// A TCP socket with a 2-second linger, bound to the wildcard address and g_server_port and
// listening, or SOCKET_NONE.
SocketHandle OpenListenSocket();

// Runs the server loop over g_server until the device's final report, a stop request
// (g_server.stop_requested, or g_server.state no longer TS_RUNNING) or a dead listening
// socket. Returns 0 when no listening socket could be opened, else the kind of the last
// report taken (0 when there was none). Both sockets are closed on return.
int RunServer();

// The manifest response for the text in context->buffer. 1 on success, 0 when a send
// failed.
int SendManifest(ServerContext* context);

// The image response for context->request_kind (kinds 12 to 15). 1 when the header and
// the whole image went out; the slot then no longer counts as unsent. 0 otherwise, with
// the unsent set as it was.
int SendImage(ServerContext* context);

// Wakes a server thread blocked on g_server's connection (a send to a device that has
// vanished, or a wait for its next byte), so that a stop takes effect at once. Safe from
// any thread.
void InterruptServerConnection();
