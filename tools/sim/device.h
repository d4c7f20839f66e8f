// The simulated receiver: one update session from the announcement to the check that the
// updater ended its run, with the fault modes of Options.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "tools/sim/options.h"
#include "tools/sim/protocol.h"

namespace sim {

// What the simulator tells its user: numbered steps on one stream, the one line that says
// what went wrong on the other. Everything is also kept, so that a test can read it back.
class Transcript {
public:
    // Either stream may be null: then the text is only kept.
    Transcript(std::FILE* out, std::FILE* err);

    void Step(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Says what went wrong and returns code, so that a caller can write return Fail(...).
    int Fail(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));

    const std::string& steps() const { return m_steps; }
    const std::string& error() const { return m_error; }

private:
    std::FILE* m_out;
    std::FILE* m_err;
    long long m_start_ms;
    std::string m_steps;
    std::string m_error;
};

class Device {
public:
    Device(const Options& options, Transcript* transcript);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Binds the discovery socket of --listen. Run does it itself when it has not been done;
    // doing it first lets the caller learn the port when --listen gave port 0.
    int OpenDiscovery();
    uint16_t discovery_port() const { return m_discovery_port; }

    // The whole session. Returns an ExitCode.
    int Run();

private:
    // Where a connection comes from: the device's address, or the forger's second one.
    struct From {
        bool bind;
        uint32_t address;
    };
    enum class Closing { CLOSED, ANSWERED };

    int Discover();
    int Session();
    int ResolvePartitions(const std::vector<ManifestEntry>& entries);
    int FetchManifest(std::vector<ManifestEntry>* entries);
    int FetchImage(const ManifestEntry& entry, bool vanish);
    int Fetch(const std::string& path, const char* content_type, std::string* body, bool vanish);
    int SendReport(sim::Report report, int partition, From from);
    // From the second address: a manifest and an image request right after the manifest,
    // and every final report once the images are served. None may be answered or taken.
    int ForgeRequests(const std::vector<ManifestEntry>& entries);
    int ForgeFinalReports(const std::vector<ManifestEntry>& entries);
    // After a final report: checks that the updater's server stopped accepting connections
    // (expect_end) or still accepts them.
    int CheckRunEnd(bool expect_end, const std::string& after);
    void DrainAnnouncements();
    int CheckNoLateAnnouncement();

    int Connect(From from, SocketHandle* out, const std::string& what);
    int Send(SocketHandle s, const std::string& path);
    // Waits for the updater to close a connection on which no answer belongs.
    int WaitForClose(SocketHandle s, const std::string& what, Closing* closing, std::string* first_bytes);
    int WaitMs(SocketHandle s, unsigned ms);
    bool ServerAccepts();

    From DeviceFrom() const { return From{m_options.have_source, m_options.source_address}; }
    std::string ServerText() const;

    Options m_options;
    Transcript* m_log;
    SocketHandle m_discovery = SOCKET_NONE;
    uint16_t m_discovery_port = 0;
    uint32_t m_server = 0;
    uint16_t m_server_port = 0;
    long long m_manifest_at_ms = 0;
    bool m_first_contact = true;  // no connection to the updater has been made yet
    int m_checksum_error = NO_PARTITION;
    int m_vanish = NO_PARTITION;
    int m_fetch_twice = NO_PARTITION;
};

std::string AddressText(uint32_t address);

}  // namespace sim
