// What a receiver sees of the updater's HTTP server, next to nginx serving the same image
// bytes in the same run: a light client of our own (one connection per fetch, as the
// device makes them, reading into a large buffer) fetches the three shipped images from
// each in turn, in pairs of series whose order alternates, and the median and quartiles of
// the paired ratios are printed, with the CPU time each server and the client spent. Then
// the time from a manifest request to its last byte while an announcer runs, and the
// wake-ups and CPU time of the whole process while a run waits for a device.
//
// A series lasts long enough (200 ms by default) that the scheduler's placement of the
// threads, a timer tick or a page-cache miss averages out within it; with the servers on
// one core and the client on the other (run_net_bench.sh pins them when there are two)
// neither server competes with the client for a core.
//
// run_net_bench.sh starts it: as root over a veth pair between two network namespaces it
// makes (the server side here, the client thread moved into the other one with
// --client-netns), otherwise over loopback. It announces nothing: the interface list is
// replaced by a fixed one and every datagram is dropped before it reaches a socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <chrono>
#include <cmath>
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

// The q-quantile of v (0 <= q <= 1), interpolated between neighbours.
double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double at = q * static_cast<double>(v.size() - 1);
    const size_t low = static_cast<size_t>(std::floor(at));
    const size_t high = std::min(low + 1, v.size() - 1);
    return v[low] + (v[high] - v[low]) * (at - static_cast<double>(low));
}

double Median(const std::vector<double>& v) { return Quantile(v, 0.5); }

// Nanoseconds of CPU that a thread or process has run, from the scheduler's own account
// (the first field of schedstat), or -1.
long long RunNs(const std::string& schedstat) {
    std::ifstream in(schedstat);
    long long ns = -1;
    if (!(in >> ns)) return -1;
    return ns;
}

// This thread's CPU time so far, in user space and in the kernel (the client's system
// calls, and the network processing that runs on its account).
struct ThreadCpu {
    double user = 0;
    double system = 0;
};

ThreadCpu ThreadCpuNow() {
    rusage u;
    ThreadCpu t;
    if (::getrusage(RUSAGE_THREAD, &u) != 0) return t;
    t.user = static_cast<double>(u.ru_utime.tv_sec) + 1e-6 * static_cast<double>(u.ru_utime.tv_usec);
    t.system = static_cast<double>(u.ru_stime.tv_sec) + 1e-6 * static_cast<double>(u.ru_stime.tv_usec);
    return t;
}

bool PinToCpu(int cpu) {
    if (cpu < 0) return true;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;  // this thread only
}

// The light client: one connection, one request, everything up to the server's close read
// into a large buffer with as few calls as the socket allows. The body (after the header)
// is left in g_buffer; false on any failure.
std::vector<char> g_buffer(8 * 1024 * 1024);

bool Fetch(uint32_t address, uint16_t port, const std::string& path, size_t* body_at, size_t* total) {
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
    const char* const start = g_buffer.data();
    const char* const end = start + std::min<size_t>(got, 1024);
    static const char kBlank[] = "\r\n\r\n";
    const char* const blank = std::search(start, end, kBlank, kBlank + 4);
    if (blank == end) return false;
    *body_at = static_cast<size_t>(blank - start) + 4;
    *total = got;
    return true;
}

struct Target {
    const char* name;
    uint32_t address;
    uint16_t port;
    std::string schedstat;  // the server's CPU account
};

// What one series cost: wall time, and the CPU time of the server and of the client (and
// of that the client's own code, outside the kernel).
struct Cost {
    double seconds = -1;
    double server_cpu = -1;
    double client_cpu = -1;
    double client_user = -1;
};

// Fetches each image `cycles` times. Every body must be as long as its image; with verify
// every byte is compared too (kept out of the timed series, where the comparison would be
// client work that both servers wait for). seconds < 0 when a body was wrong.
Cost TimeCycles(const Target& t, int cycles, const std::vector<unsigned char>* images, bool verify) {
    Cost cost;
    const long long server_start = RunNs(t.schedstat);
    const ThreadCpu client_start = ThreadCpuNow();
    const auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < cycles; ++c) {
        for (const auto& image : kImages) {
            size_t body_at = 0, total = 0;
            const std::string path = "/dev/mtd/" + std::to_string(image.slot + 3);
            const std::vector<unsigned char>& want = images[image.slot];
            if (!Fetch(t.address, t.port, path, &body_at, &total) || total - body_at != want.size() ||
                (verify && std::memcmp(g_buffer.data() + body_at, want.data(), want.size()) != 0)) {
                std::fprintf(stderr, "net_bench: %s served %s short or wrong\n", t.name, path.c_str());
                return cost;
            }
        }
    }
    cost.seconds = SecondsSince(start);
    const long long server_end = RunNs(t.schedstat);
    if (server_start >= 0 && server_end >= 0)
        cost.server_cpu = 1e-9 * static_cast<double>(server_end - server_start);
    const ThreadCpu client_end = ThreadCpuNow();
    cost.client_user = client_end.user - client_start.user;
    cost.client_cpu = cost.client_user + client_end.system - client_start.system;
    return cost;
}

// No announcement leaves the process: one fixed interface, every datagram dropped.
int FixedInterfaces(NetInterface* out, int capacity) {
    if (capacity < 1) return 0;
    out[0] = NetInterface{MakeIPv4(10, 0, 0, 2), MakeIPv4(255, 255, 255, 0), IFACE_UP | IFACE_BROADCAST, {}};
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

struct Summary {
    std::vector<double> seconds, server_cpu, client_cpu, client_user;
    void Add(const Cost& c) {
        seconds.push_back(c.seconds);
        server_cpu.push_back(c.server_cpu);
        client_cpu.push_back(c.client_cpu);
        client_user.push_back(c.client_user);
    }
};

void PrintSummary(const char* label, const Summary& s, double megabytes) {
    const double wall = Median(s.seconds);
    std::printf("  %-8s median %.1f ms per series (IQR %.1f to %.1f), %.0f MB/s", label, 1000 * wall,
                1000 * Quantile(s.seconds, 0.25), 1000 * Quantile(s.seconds, 0.75), megabytes / wall);
    const double server = Median(s.server_cpu);
    if (server >= 0)
        std::printf("; server CPU %.0f%% of the series, %.0f us per MB", 100 * server / wall,
                    1e6 * server / megabytes);
    std::printf("; client CPU %.0f%% (its own code %.1f%%)\n", 100 * Median(s.client_cpu) / wall,
                100 * Median(s.client_user) / wall);
}

}  // namespace

int main(int argc, char** argv) {
    int series = 30;
    int cycles = 0;  // 0: as many as fill series_ms
    int series_ms = 200;
    int manifests = 20;
    int idle_seconds = 30;
    int server_cpu = -1;
    int client_cpu = -1;
    int nginx_pid = 0;
    std::string client_netns;
    std::string address_text = "127.0.0.1";
    int nginx_port = 0;
    bool bad = false;
    for (int i = 1; i < argc; i += 2) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            bad = true;
            break;
        }
        const char* v = argv[i + 1];
        if (a == "--series")
            series = std::atoi(v);
        else if (a == "--cycles")
            cycles = std::atoi(v);
        else if (a == "--series-ms")
            series_ms = std::atoi(v);
        else if (a == "--manifests")
            manifests = std::atoi(v);
        else if (a == "--idle-seconds")
            idle_seconds = std::atoi(v);
        else if (a == "--client-netns")
            client_netns = v;
        else if (a == "--address")
            address_text = v;
        else if (a == "--nginx-port")
            nginx_port = std::atoi(v);
        else if (a == "--nginx-pid")
            nginx_pid = std::atoi(v);
        else if (a == "--server-cpu")
            server_cpu = std::atoi(v);
        else if (a == "--client-cpu")
            client_cpu = std::atoi(v);
        else
            bad = true;
    }
    uint32_t address = 0;
    if (bad || !ParseIPv4(address_text.c_str(), &address) || series < 1 || cycles < 0 || series_ms < 1) {
        std::fprintf(
            stderr,
            "usage: net_bench [--address A] [--nginx-port P] [--nginx-pid PID] [--client-netns PATH]\n"
            "                 [--series N] [--cycles N | --series-ms MS] [--server-cpu C] [--client-cpu C]\n"
            "                 [--manifests N] [--idle-seconds S]\n");
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
    std::atomic<int> server_tid{0};
    std::thread server([&] {
        if (!PinToCpu(server_cpu))
            std::fprintf(stderr, "net_bench: cannot pin the server to CPU %d\n", server_cpu);
        ::pthread_setname_np(::pthread_self(), "bench-server");  // for profilers
        server_tid = static_cast<int>(::gettid());
        RunServer();
    });
    while (g_server.listen_socket.load() == SOCKET_NONE || server_tid.load() == 0) SleepMs(1);
    const Target ours{"updater", address, g_server_port.load(),
                      "/proc/self/task/" + std::to_string(server_tid.load()) + "/schedstat"};
    const Target nginx{"nginx", address, static_cast<uint16_t>(nginx_port),
                       nginx_pid > 0 ? "/proc/" + std::to_string(nginx_pid) + "/schedstat" : std::string()};

    int status = 0;
    std::thread client([&] {
        if (!EnterNetns(client_netns)) {
            std::fprintf(stderr, "net_bench: cannot enter %s\n", client_netns.c_str());
            status = 1;
            return;
        }
        if (!PinToCpu(client_cpu))
            std::fprintf(stderr, "net_bench: cannot pin the client to CPU %d\n", client_cpu);
        ::pthread_setname_np(::pthread_self(), "bench-client");
        std::printf("client %s -> server %s%s; CPUs: server side %s, client %s\n",
                    client_netns.empty() ? "in this namespace" : client_netns.c_str(), address_text.c_str(),
                    client_netns.empty() ? " (loopback)" : " (veth)",
                    server_cpu >= 0 ? std::to_string(server_cpu).c_str() : "any",
                    client_cpu >= 0 ? std::to_string(client_cpu).c_str() : "any");
        if (nginx_port > 0) {
            // Warm both up with every byte compared, then size the series from the slower
            // of two short timed ones.
            const int probe = 5;
            if (TimeCycles(ours, 2, images, true).seconds < 0 ||
                TimeCycles(nginx, 2, images, true).seconds < 0) {
                status = 1;
                return;
            }
            const Cost probe_ours = TimeCycles(ours, probe, images, false);
            const Cost probe_nginx = TimeCycles(nginx, probe, images, false);
            if (probe_ours.seconds < 0 || probe_nginx.seconds < 0) {
                status = 1;
                return;
            }
            if (cycles == 0) {
                const double per_cycle = std::max(probe_ours.seconds, probe_nginx.seconds) / probe;
                cycles = std::max(1, static_cast<int>(std::ceil(series_ms / 1000.0 / per_cycle)));
            }
            const double megabytes = static_cast<double>(cycle_bytes) * cycles / 1e6;
            std::printf(
                "  %d pairs of series, each %d cycles of the three images (%.1f MB), order alternating\n",
                series, cycles, megabytes);
            std::fflush(stdout);
            // Each pair runs both servers back to back, and the order alternates, so that
            // drift over the run (a build starting, the CPU clocking down) hits both alike.
            std::vector<double> ratios;
            Summary s_ours, s_nginx;
            for (int s = 0; s < series; ++s) {
                Cost a, b;
                if (s % 2 == 0) {
                    a = TimeCycles(ours, cycles, images, false);
                    b = TimeCycles(nginx, cycles, images, false);
                } else {
                    b = TimeCycles(nginx, cycles, images, false);
                    a = TimeCycles(ours, cycles, images, false);
                }
                if (a.seconds <= 0 || b.seconds <= 0) {
                    status = 1;
                    return;
                }
                s_ours.Add(a);
                s_nginx.Add(b);
                ratios.push_back(b.seconds / a.seconds);
            }
            // And once more with every byte compared, after all the timed series.
            if (TimeCycles(ours, 1, images, true).seconds < 0 ||
                TimeCycles(nginx, 1, images, true).seconds < 0) {
                status = 1;
                return;
            }
            PrintSummary("updater:", s_ours, megabytes);
            PrintSummary("nginx:", s_nginx, megabytes);
            std::sort(ratios.begin(), ratios.end());
            std::printf(
                "  updater's rate / nginx's rate: median of %zu paired ratios %.3f, interquartile range %.3f "
                "to "
                "%.3f (min %.3f, max %.3f)\n",
                ratios.size(), Median(ratios), Quantile(ratios, 0.25), Quantile(ratios, 0.75), ratios.front(),
                ratios.back());
        }
        // The manifest while an announcer runs, as at the device's first request.
        std::vector<double> latency;
        for (int m = 0; m < manifests; ++m) {
            if (StartAnnouncer() != 1) break;
            SleepMs(20);
            size_t body_at = 0, total = 0;
            const auto start = std::chrono::steady_clock::now();
            if (!Fetch(ours.address, ours.port, "/list.lst", &body_at, &total)) break;
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
