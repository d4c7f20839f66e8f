// Throughput of the updater's HTTP server against nginx, both serving the three shipped
// placeholder images to curl --http1.0 over loopback, side by side in one run, and the CPU
// time the update worker and the announcer use in 30 idle seconds waiting for a device.
//
// Run it inside a private network namespace. The idle part injects a fixed interface list
// and captures every datagram, so nothing is announced anywhere.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

bool WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

int Run(const std::string& command) { return std::system(command.c_str()); }

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One curl process per round fetching the three images `repeats` times, one HTTP/1.0
// connection per fetch as the device makes them. With one repeat the start of the curl
// process weighs in as it does for a device's single fetches; with more it fades out and
// the servers' own speed shows.
double TimeRounds(uint16_t port, int rounds, int repeats) {
    std::string command = "curl --http1.0 -s -f";
    for (int r = 0; r < repeats; ++r) {
        for (const auto& image : kImages) {
            command += " -o /dev/null http://127.0.0.1:" + std::to_string(port) + "/dev/mtd/" +
                       std::to_string(image.slot + 3);
        }
    }
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (Run(command) != 0) {
            std::fprintf(stderr, "net_bench: curl failed on port %u\n", port);
            std::exit(1);
        }
    }
    return Seconds(start);
}

bool SameBody(uint16_t port, int slot, const std::vector<unsigned char>& expected, const std::string& dir) {
    const std::string out = dir + "/check.bin";
    const std::string command = "curl --http1.0 -s -f -o " + out +
                                " http://127.0.0.1:" + std::to_string(port) + "/dev/mtd/" +
                                std::to_string(slot + 3);
    return Run(command) == 0 && ReadFile(out) == expected;
}

// Idle measurement: one fake interface, datagrams counted and dropped.
std::mutex g_count_mutex;
int g_datagrams = 0;
int FixedInterfaces(NetInterface* out, int capacity) {
    if (capacity < 1) return 0;
    out[0] = NetInterface{MakeIPv4(10, 0, 0, 2), MakeIPv4(255, 255, 255, 0), IFACE_UP | IFACE_BROADCAST};
    return 1;
}
int DropDatagram(SocketHandle, const void*, size_t len, uint32_t, uint16_t) {
    std::lock_guard<std::mutex> lock(g_count_mutex);
    ++g_datagrams;
    return static_cast<int>(len);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 20;
    int idle_seconds = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--idle-seconds") == 0) idle_seconds = std::atoi(argv[i + 1]);
    }
    SockStartup();

    char dir_template[] = "/tmp/orvane-net-bench.XXXXXX";
    if (mkdtemp(dir_template) == nullptr) return 1;
    const std::string dir = dir_template;
    Run("chmod 755 " + dir + " && mkdir -p " + dir + "/www/dev/mtd");

    std::vector<unsigned char> images[IMAGE_SLOT_COUNT];
    size_t round_bytes = 0;
    for (const auto& image : kImages) {
        images[image.slot] = ReadFile(std::string(ORVANE_FIRMWARE_FILES_DIR) + "/" + image.file);
        if (images[image.slot].empty()) {
            std::fprintf(stderr, "net_bench: %s is missing\n", image.file);
            return 1;
        }
        g_image_data[image.slot] = images[image.slot].data();
        g_image_sizes[image.slot] = static_cast<uint32_t>(images[image.slot].size());
        WriteFile(dir + "/www/dev/mtd/" + std::to_string(image.slot + 3), images[image.slot]);
        round_bytes += images[image.slot].size();
    }

    // nginx from a temporary configuration on a loopback port.
    const uint16_t nginx_port = 28080;
    {
        std::ofstream conf(dir + "/nginx.conf");
        conf << "daemon on;\nworker_processes 1;\npid " << dir << "/nginx.pid;\nerror_log " << dir
             << "/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n  sendfile on;\n"
             << "  default_type application/octet-stream;\n  server {\n    listen 127.0.0.1:" << nginx_port
             << ";\n    root " << dir << "/www;\n  }\n}\n";
    }
    if (Run("nginx -p " + dir + " -c " + dir + "/nginx.conf") != 0) {
        std::fprintf(stderr, "net_bench: nginx did not start\n");
        return 1;
    }

    // The updater's server on the port the probe finds.
    ResetRunState();
    std::thread server([] { RunServer(); });
    while (g_server.listen_socket.load() == SOCKET_NONE) SleepMs(1);
    const uint16_t ours = g_server_port;

    bool same = true;
    for (const auto& image : kImages) {
        same = same && SameBody(ours, image.slot, images[image.slot], dir) &&
               SameBody(nginx_port, image.slot, images[image.slot], dir);
    }
    std::printf("images: %zu bytes per round (partitions 4, 5, 6), bodies identical on both: %s\n",
                round_bytes, same ? "yes" : "NO");

    // Alternate the two in blocks, so that any drift of the machine hits both alike.
    for (int repeats : {1, 10}) {
        double ours_s = 0, nginx_s = 0;
        const int blocks = 4;
        const int done = rounds / blocks * blocks;
        for (int b = 0; b < blocks; ++b) {
            ours_s += TimeRounds(ours, rounds / blocks, repeats);
            nginx_s += TimeRounds(nginx_port, rounds / blocks, repeats);
        }
        const double total_mb = static_cast<double>(round_bytes) * done * repeats / 1e6;
        std::printf("%d curl processes, each fetching the three images %d time(s):\n", done, repeats);
        std::printf("  updater server: %.3f s, %.1f MB/s\n", ours_s, total_mb / ours_s);
        std::printf("  nginx:          %.3f s, %.1f MB/s\n", nginx_s, total_mb / nginx_s);
        std::printf("  throughput ratio updater/nginx: %.3f\n", nginx_s / ours_s);
    }

    g_server.stop_requested = 1;
    server.join();
    g_server.stop_requested = 0;
    Run("nginx -p " + dir + " -c " + dir + "/nginx.conf -s stop 2>/dev/null");

    if (idle_seconds > 0) {
        SocketOps ops = SystemSocketOps();
        ops.list_interfaces = FixedInterfaces;
        ops.send_to = DropDatagram;
        const SocketOps previous = SetSocketOps(ops);
        const std::clock_t cpu_start = std::clock();
        const auto start = std::chrono::steady_clock::now();
        StartDetachedThread(UpdateWorker, nullptr);
        SleepMs(static_cast<unsigned>(idle_seconds) * 1000u);
        const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        const double wall = Seconds(start);
        int datagrams = 0;
        {
            std::lock_guard<std::mutex> lock(g_count_mutex);
            datagrams = g_datagrams;
        }
        StopUpdateRunNetwork();
        const bool ended = WaitForWorkerEnd(5000);
        SetSocketOps(previous);
        std::printf(
            "idle: worker and announcer waiting %.1f s for a device: %.1f ms CPU (%.4f%% of one core), "
            "%d datagrams captured; worker ended after the stop: %s\n",
            wall, cpu_ms, 100.0 * cpu_ms / (wall * 1000.0), datagrams, ended ? "yes" : "NO");
    }
    Run("rm -rf " + dir);
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        g_image_data[i] = nullptr;
        g_image_sizes[i] = 0;
    }
    return 0;
}
