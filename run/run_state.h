// The run state: the one process-wide block through which the window, the update worker and
// the announcer exchange everything they share. One side stores a whole integer, the other
// polls it; every variable that crosses threads is an atomic so that each store and load is
// whole and becomes visible to the polling thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sockets.h"

// The kinds of request the device makes, as the request reader classifies them: progress
// reports (4 to 7), final reports (8 to 10), the manifest (11) and the images of slots 0 to
// 3 (12 to 15). The server posts 4 to 7 and 11 to g_device_report for the window and
// returns the final kind that ended its loop.
enum RequestKind : int32_t {
    REQ_NONE = 0,
    REQ_ERASE_START = 4,
    REQ_ERASE_FINISH = 5,
    REQ_WRITING = 6,
    REQ_WROTE = 7,
    REQ_OLD_VERSION = 8,
    REQ_CHECKSUM_ERROR = 9,
    REQ_UPGRADE_COMPLETED = 10,
    REQ_LIST = 11,
    REQ_IMAGE_MTD3 = 12,
    REQ_IMAGE_MTD4 = 13,
    REQ_IMAGE_MTD5 = 14,
    REQ_IMAGE_MTD6 = 15,
};

// The result of an update run.
enum UpdateOutcome : int32_t {
    OUTCOME_NONE = 0,
    OUTCOME_NO_DEVICE = 1,
    OUTCOME_FAILED = 2,
    OUTCOME_OLD_VERSION = 3,
    OUTCOME_COMPLETED = 4,
};

// Life state of the server and the announcer. 2 is never used; 0 only before the first reset.
// TS_STOP_REQUESTED is the announcer's stop request; the server's is stop_requested.
enum ThreadState : int32_t {
    TS_RUNNING = 1,
    TS_STOP_REQUESTED = 3,
    TS_STOPPED = 4,
};

// Which firewall opening start-up made, so that shut-down undoes the same one. Windows
// takes the application exception or, without the Windows Firewall manager, the port
// mapping; Linux takes firewalld's runtime rules.
enum FirewallMethod : int32_t {
    FIREWALL_NONE = 0,
    FIREWALL_PORT_MAPPING = 1,
    FIREWALL_APP_EXCEPTION = 2,
    FIREWALL_FIREWALLD = 3,
};

constexpr int IMAGE_SLOT_COUNT = 4;
constexpr uint16_t FIRST_SERVER_PORT = 20200;
constexpr uint16_t DISCOVERY_PORT = 20200;
constexpr int SERVER_BUFFER_SIZE = 4096;
constexpr int ANNOUNCE_MESSAGE_SIZE = 512;
constexpr int32_t TIMEOUT_BEFORE_MANIFEST_MS = 420000;
constexpr int32_t TIMEOUT_AFTER_MANIFEST_MS = 300000;
constexpr uint32_t NO_CLIENT = 0xFFFFFFFFu;

struct AnnouncerContext {
    std::atomic<SocketHandle> udp_socket{0};
    std::atomic<int32_t> state{0};
    char message[ANNOUNCE_MESSAGE_SIZE] = {};
};

struct ServerContext {
    // The run's listening socket, opened by the worker before it starts announcing.
    std::atomic<SocketHandle> listen_socket{0};
    std::atomic<int32_t> state{0};
    // Where BuildManifest writes the manifest text (worker thread only); each connection
    // reads its request into its own area and takes a copy of the manifest from here.
    char buffer[SERVER_BUFFER_SIZE] = {};
    // 1 once the current run has been asked to end (the window's stop, or the shut-down).
    // The server loop is woken and gives up at once. ResetRunState leaves it alone: a stop
    // that arrives while the worker resets must not be lost. The worker clears it before it
    // counts itself in.
    std::atomic<int32_t> stop_requested{0};
};

// Image slots: slot i is device partition i + 3, fetched with request kind 12 + i. Written
// only at start-up and shut-down, while no worker reads them.
extern const uint32_t g_image_ids[IMAGE_SLOT_COUNT];
extern uint32_t g_image_sizes[IMAGE_SLOT_COUNT];
extern unsigned char* g_image_data[IMAGE_SLOT_COUNT];

extern std::atomic<int32_t> g_timeout_ms;
extern std::atomic<int32_t> g_device_report;
extern std::atomic<uint16_t> g_server_port;
extern std::atomic<int32_t> g_update_running;
extern std::atomic<int32_t> g_update_outcome;
extern std::atomic<int32_t> g_idle_seconds;
extern std::atomic<int32_t> g_worker_active;
extern std::atomic<int32_t> g_firewall_method;
extern std::atomic<int32_t> g_progress_shown;
extern AnnouncerContext g_announcer;
extern ServerContext g_server;
extern std::atomic<uint32_t> g_pinned_client;
extern std::atomic<uint32_t> g_unsent_images;
// Progress bar values; the UI thread alone uses them.
extern int32_t g_progress_min;
extern int32_t g_progress_max;
extern int32_t g_progress_pos;

// Puts the network side of the block into its idle form and probes this run's port.
// Closes no socket and stops no thread. Always returns 0.
int ResetRunState();

// The first TCP port from 20200 upward that a fresh socket can bind on the wildcard
// address, or 0 when no socket can be made or no port up to 65535 binds.
uint16_t FindServerPort();
