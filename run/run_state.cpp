#include "run/run_state.h"

#include <cstring>

const uint32_t g_image_ids[IMAGE_SLOT_COUNT] = {134, 135, 132, 133};
uint32_t g_image_sizes[IMAGE_SLOT_COUNT] = {};
unsigned char* g_image_data[IMAGE_SLOT_COUNT] = {};

std::atomic<int32_t> g_timeout_ms{TIMEOUT_BEFORE_MANIFEST_MS};
std::atomic<int32_t> g_device_report{0};
std::atomic<uint16_t> g_server_port{0};
std::atomic<int32_t> g_update_running{0};
std::atomic<int32_t> g_update_outcome{OUTCOME_NONE};
std::atomic<int32_t> g_idle_seconds{0};
std::atomic<int32_t> g_worker_active{0};
std::atomic<int32_t> g_firewall_method{FIREWALL_NONE};
std::atomic<int32_t> g_progress_shown{0};
AnnouncerContext g_announcer;
ServerContext g_server;
std::atomic<uint32_t> g_pinned_client{NO_CLIENT};
std::atomic<uint32_t> g_unsent_images{0};
int32_t g_progress_min = 0;
int32_t g_progress_max = 0;
int32_t g_progress_pos = 0;

int ResetRunState() {
    g_announcer.udp_socket = 0;
    g_announcer.state = 0;
    std::memset(g_announcer.message, 0, sizeof g_announcer.message);
    g_server.listen_socket = 0;
    g_server.state = 0;
    std::memset(g_server.buffer, 0, sizeof g_server.buffer);

    g_announcer.state = TS_STOPPED;
    g_announcer.udp_socket = SOCKET_NONE;
    g_server.state = TS_STOPPED;
    g_server.listen_socket = SOCKET_NONE;
    g_server_port = FindServerPort();
    g_pinned_client = NO_CLIENT;
    g_unsent_images = 0;
    return 0;
}

uint16_t FindServerPort() {
    const SocketHandle s = SockTcp();
    if (s == SOCKET_NONE) return 0;
    for (uint32_t port = FIRST_SERVER_PORT; port <= 65535u; ++port) {
        if (SockBind(s, IPV4_ANY, static_cast<uint16_t>(port)) == 0) {
            SockClose(s);
            return static_cast<uint16_t>(port);
        }
    }
    SockClose(s);
    return 0;
}
