// What a receiver sees of the updater's HTTP server, next to nginx serving the same image
// bytes in the same run: a light client of our own (one connection per fetch, as the
// device makes them, reading into a large buffer) fetches the three shipped images from
// each in turn, in alternating series, and the median of the paired ratios is printed.
// Then the time from a manifest request to its last byte while an announcer runs, and the
// wake-ups and CPU time of the whole process while a run waits for a device.
//
// run_net_bench.sh starts it: as root over a veth pair between two network namespaces it
// makes (the server side here, the client thread moved into the other one with
// --client-netns), otherwise over loopback. It announces nothing: the interface list is
// replaced by a fixed one and every datagram is dropped before it reaches a socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "images/manifest.h"
#include "net/announcer.h"
#include "net/http_server.h"
#include "platform/sockets.h"
#include "platform/threads.h"
#include "run/run_state.h"
#include "run/update_worker.h"

namespace {

// Slot 1, 2, 3 are partitions 4, 5, 6 with the resources 135, 132 and 133.
const struct {
    int slot;
    const char* file;
} kImages[] = {{1, "135.bin"}, {2, "132.bin"}, {3, "133.bin"}};

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double SecondsSince(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The light client: one connection, one request, everything up to the server's close read
// into a large buffer. The body (after the header) is left in body; false on any failure.
std::vector<char> g_buffer(8 * 1024 * 1024);

bool Fetch(uint32_t address, uint16_t port, const std::string& path, std::string* header, size_t* body_at,
           size_t* total) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 &&
              ::send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    size_t got = 0;
    while (ok) {
        if (got == g_buffer.size()) {
            ok = false;
            break;
        }
        const ssize_t n = ::recv(s, g_buffer.data() + got, g_buffer.size() - got, 0);
        if (n < 0) ok = false;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(s);
    if (!ok) return false;
    const std::string head(g_buffer.data(), std::min<size_t>(got, 1024));
    const size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    *header = head.substr(0, end + 4);
    *body_at = end + 4;
    *total = got;
    return true;
}

struct Target {
    const char* name;
    uint32_t address;
    uint16_t port;
};

// Fetches each image `cycles` times; the seconds taken, or a negative value when a body
// was not the image.
double TimeCycles(const Target& t, int cycles, const std::vector<unsigned char>* images) {
    const auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < cycles; ++c) {
        for (const auto& image : kImages) {
            std::string header;
            size_t body_at = 0, total = 0;
            const std::string path = "/dev/mtd/" + std::to_string(image.slot + 3);
            const std::vector<unsigned char>& want = images[image.slot];
            if (!Fetch(t.address, t.port, path, &header, &body_at, &total) ||
                total - body_at != want.size() ||
                std::memcmp(g_buffer.data() + body_at, want.data(), want.size()) != 0) {
                std::fprintf(stderr, "net_bench: %s served %s short or wrong\n", t.name, path.c_str());
                return -1;
            }
        }
    }
    return SecondsSince(start);
}

// No announcement leaves the process: one fixed interface, every datagram dropped.
int FixedInterfaces(NetInterface* out, int capacity) {
    if (capacity < 1) return 0;
    out[0] = NetInterface{MakeIPv4(10, 0, 0, 2), MakeIPv4(255, 255, 255, 0), IFACE_UP | IFACE_BROADCAST};
    return 1;
}
int DropDatagram(SocketHandle, const void*, size_t len, uint32_t, uint16_t) { return static_cast<int>(len); }

// Context switches of every thread of this process so far: each one a wake-up of a thread
// that had gone to sleep (voluntary) or was pre-empted.
long long ContextSwitches() {
    long long total = 0;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::atoll(line.substr(line.find(':') + 1).c_str());
        }
    }
    ::closedir(dir);
    return total;
}

bool EnterNetns(const std::string& path) {
    if (path.empty()) return true;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    int series = 20;
    int cycles = 5;
    int manifests = 20;
    int idle_seconds = 30;
    std::string client_netns;
    std::string address_text = "127.0.0.1";
    int nginx_port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--series") series = std::atoi(argv[i + 1]);
        if (a == "--cycles") cycles = std::atoi(argv[i + 1]);
        if (a == "--manifests") manifests = std::atoi(argv[i + 1]);
        if (a == "--idle-seconds") idle_seconds = std::atoi(argv[i + 1]);
        if (a == "--client-netns") client_netns = argv[i + 1];
        if (a == "--address") address_text = argv[i + 1];
        if (a == "--nginx-port") nginx_port = std::atoi(argv[i + 1]);
    }
    uint32_t address = 0;
    if (!ParseIPv4(address_text.c_str(), &address) || series < 1 || cycles < 1) {
        std::fprintf(stderr,
                     "usage: net_bench [--address A] [--nginx-port P] [--client-netns PATH] [--series N] "
                     "[--cycles N] [--manifests N] [--idle-seconds S]\n");
        return 2;
    }
    SockStartup();
    SocketOps ops = SystemSocketOps();
    ops.list_interfaces = FixedInterfaces;
    ops.send_to = DropDatagram;
    SetSocketOps(ops);

    std::vector<unsigned char> images[IMAGE_SLOT_COUNT];
    size_t cycle_bytes = 0;
    for (const auto& image : kImages) {
        images[image.slot] = ReadFile(std::string(ORVANE_FIRMWARE_FILES_DIR) + "/" + image.file);
        if (images[image.slot].empty()) {
            std::fprintf(stderr, "net_bench: %s is missing\n", image.file);
            return 1;
        }
        g_image_data[image.slot] = images[image.slot].data();
        g_image_sizes[image.slot] = static_cast<uint32_t>(images[image.slot].size());
        cycle_bytes += images[image.slot].size();
    }

    ResetRunState();
    std::thread server([] { RunServer(); });
    while (g_server.listen_socket.load() == SOCKET_NONE) SleepMs(1);
    const Target ours{"updater", address, g_server_port.load()};
    const Target nginx{"nginx", address, static_cast<uint16_t>(nginx_port)};

    int status = 0;
    std::thread client([&] {
        if (!EnterNetns(client_netns)) {
            std::fprintf(stderr, "net_bench: cannot enter %s\n", client_netns.c_str());
            status = 1;
            return;
        }
        std::printf(
            "client %s -> server %s%s; %d series of %d cycles, each cycle the three images (%zu bytes)\n",
            client_netns.empty() ? "in this namespace" : client_netns.c_str(), address_text.c_str(),
            client_netns.empty() ? " (loopback)" : " (veth)", series, cycles, cycle_bytes);
        if (nginx_port > 0) {
            // Warm both up, then alternate which goes first so that drift hits both alike.
            if (TimeCycles(ours, 1, images) < 0 || TimeCycles(nginx, 1, images) < 0) {
                status = 1;
                return;
            }
            std::vector<double> ratios, ours_s, nginx_s;
            for (int s = 0; s < series; ++s) {
                double a, b;
                if (s % 2 == 0) {
                    a = TimeCycles(ours, cycles, images);
                    b = TimeCycles(nginx, cycles, images);
                } else {
                    b = TimeCycles(nginx, cycles, images);
                    a = TimeCycles(ours, cycles, images);
                }
                if (a <= 0 || b <= 0) {
                    status = 1;
                    return;
                }
                ours_s.push_back(a);
                nginx_s.push_back(b);
                ratios.push_back(b / a);
            }
            const double mb = static_cast<double>(cycle_bytes) * cycles / 1e6;
            std::printf("  updater: median %.1f ms per series, %.0f MB/s\n", 1000 * Median(ours_s),
                        mb / Median(ours_s));
            std::printf("  nginx:   median %.1f ms per series, %.0f MB/s\n", 1000 * Median(nginx_s),
                        mb / Median(nginx_s));
            std::sort(ratios.begin(), ratios.end());
            std::printf(
                "  updater's rate / nginx's rate: median of %zu paired ratios %.3f (min %.3f, max %.3f)\n",
                ratios.size(), Median(ratios), ratios.front(), ratios.back());
        }
        // The manifest while an announcer runs, as at the device's first request.
        std::vector<double> latency;
        for (int m = 0; m < manifests; ++m) {
            if (StartAnnouncer() != 1) break;
            SleepMs(20);
            std::string header;
            size_t body_at = 0, total = 0;
            const auto start = std::chrono::steady_clock::now();
            if (!Fetch(ours.address, ours.port, "/list.lst", &header, &body_at, &total)) break;
            latency.push_back(1000 * SecondsSince(start));
        }
        std::sort(latency.begin(), latency.end());
        if (!latency.empty()) {
            std::printf(
                "  manifest with the announcer running: median %.2f ms, max %.2f ms over %zu requests\n",
                Median(latency), latency.back(), latency.size());
        }
    });
    client.join();
    g_server.stop_requested = 1;
    WakeServer();
    server.join();
    g_server.stop_requested = 0;
    StopAnnouncer();
    WaitForAnnouncerEnd(1000);

    if (idle_seconds > 0 && status == 0) {
        // A run that waits for a device: the update worker with its server and announcer.
        StartDetachedThread(UpdateWorker, nullptr);
        SleepMs(500);
        const long long switches = ContextSwitches();
        const std::clock_t cpu_start = std::clock();
        const auto start = std::chrono::steady_clock::now();
        SleepMs(static_cast<unsigned>(idle_seconds) * 1000u);
        const double wall = SecondsSince(start);
        const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        // The main thread's own sleep is one of them.
        const long long woke = ContextSwitches() - switches - 1;
        StopUpdateRunNetwork();
        const bool ended = WaitForWorkerEnd(5000);
        std::printf(
            "idle: a run waiting %.1f s for a device: %lld wake-ups of its threads (%.2f a second), %.1f ms "
            "CPU; "
            "worker ended after the stop: %s\n",
            wall, woke, static_cast<double>(woke) / wall, cpu_ms, ended ? "yes" : "NO");
    }
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        g_image_data[i] = nullptr;
        g_image_sizes[i] = 0;
    }
    return status;
}
