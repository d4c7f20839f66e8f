#include "tools/sim/device.h"

#include <cstdarg>

#include "images/manifest.h"
#include "platform/threads.h"

namespace sim {

namespace {

std::string Format(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string Format(const char* format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

void CloseSocket(SocketHandle* s) {
    if (*s != SOCKET_NONE) {
        SockClose(*s);
        *s = SOCKET_NONE;
    }
}

// Closes a socket when it goes out of scope, so that no error path leaks one.
class SocketGuard {
public:
    SocketGuard() = default;
    ~SocketGuard() { CloseSocket(&m_s); }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    SocketHandle* ptr() { return &m_s; }
    SocketHandle get() const { return m_s; }
    // Closes with a reset instead of an orderly end, as a device that loses power leaves
    // its peer: the updater sees its next send fail.
    void Abort() {
        if (m_s != SOCKET_NONE) SockSetLinger(m_s, 1, 0);
        CloseSocket(&m_s);
    }

private:
    SocketHandle m_s = SOCKET_NONE;
};

std::string Seconds(unsigned ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

std::string ChecksumText(uint32_t sum) {
    char text[16];
    std::snprintf(text, sizeof text, "%05u", static_cast<unsigned>(sum));
    return text;
}

}  // namespace

std::string AddressText(uint32_t address) {
    char text[16];
    FormatIPv4(address, text);
    return text;
}

Transcript::Transcript(std::FILE* out, std::FILE* err) : m_out(out), m_err(err), m_start_ms(MonotonicMs()) {}

void Transcript::Step(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%7.3f] ", (MonotonicMs() - m_start_ms) / 1000.0);
    const std::string line = stamp + text + "\n";
    m_steps += line;
    if (m_out != nullptr) {
        std::fputs(line.c_str(), m_out);
        std::fflush(m_out);
    }
}

int Transcript::Fail(int code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    m_error = text;
    if (m_err != nullptr) {
        std::fprintf(m_err, "%s: %s\n", SIM_NAME, text.c_str());
        std::fflush(m_err);
    }
    return code;
}

Device::Device(const Options& options, Transcript* transcript) : m_options(options), m_log(transcript) {
    if (m_options.have_server) {
        m_server = m_options.server_address;
        m_server_port = m_options.server_port;
    }
}

Device::~Device() { CloseSocket(&m_discovery); }

std::string Device::ServerText() const { return AddressText(m_server) + ":" + std::to_string(m_server_port); }

int Device::WaitMs(SocketHandle s, unsigned ms) {
    return SockWaitReadable(s, static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000);
}

int Device::OpenDiscovery() {
    if (m_discovery != SOCKET_NONE) return EXIT_OK;
    const std::string where =
        AddressText(m_options.listen_address) + ":" + std::to_string(m_options.listen_port);
    m_discovery = SockUdp();
    if (m_discovery == SOCKET_NONE) return m_log->Fail(EXIT_LOCAL, "cannot create a UDP socket");
    if (SockBind(m_discovery, m_options.listen_address, m_options.listen_port) != 0) {
        CloseSocket(&m_discovery);
        return m_log->Fail(
            EXIT_LOCAL,
            "cannot listen on UDP %s: the port is in use (another simulator or updater on this "
            "host?) or the address is not one of this host",
            where.c_str());
    }
    m_discovery_port = SockLocalPort(m_discovery);
    return EXIT_OK;
}

int Device::Run() {
    if (m_options.have_listen) {
        const int r = Discover();
        if (r != EXIT_OK) return r;
        if (m_options.discover_only) {
            m_log->Step("done: the announcement is correct (discovery only, nothing connected)");
            return EXIT_OK;
        }
    } else {
        m_log->Step("using the updater's server at %s without discovery", ServerText().c_str());
    }
    const int r = Session();
    if (r == EXIT_OK) m_log->Step("done: the updater behaved as a receiver expects");
    return r;
}

int Device::Discover() {
    const int r = OpenDiscovery();
    if (r != EXIT_OK) return r;
    const std::string where = AddressText(m_options.listen_address) + ":" + std::to_string(m_discovery_port);
    m_log->Step("listening for the updater's announcement on UDP %s (up to %s)", where.c_str(),
                Seconds(m_options.wait_ms).c_str());
    const long long deadline = MonotonicMs() + m_options.wait_ms;
    for (;;) {
        const long long left = deadline - MonotonicMs();
        const int w = left > 0 ? WaitMs(m_discovery, static_cast<unsigned>(left)) : 0;
        if (w == 0) {
            return m_log->Fail(EXIT_NO_ANNOUNCEMENT,
                               "no announcement arrived on UDP %s within %s: is the updater running and "
                               "waiting for the device, and is this host on the PC's network?",
                               where.c_str(), Seconds(m_options.wait_ms).c_str());
        }
        if (w < 0) return m_log->Fail(EXIT_LOCAL, "waiting on UDP %s failed", where.c_str());
        char data[2048];
        uint32_t from = 0;
        uint16_t from_port = 0;
        const int n = SockRecvFrom(m_discovery, data, sizeof data, &from, &from_port);
        if (n < 0) continue;  // an error report of an earlier send, not a datagram
        const size_t len = static_cast<size_t>(n);
        m_log->Step("announcement from %s:%u, %d bytes: \"%s\"", AddressText(from).c_str(), from_port, n,
                    Printable(data, len).c_str());
        // The updater sends from the discovery port to the discovery port.
        if (from_port != m_discovery_port) {
            return m_log->Fail(
                EXIT_UPDATER_FAULT,
                "the announcement from %s came from UDP port %u; the updater must send it from "
                "port %u",
                AddressText(from).c_str(), from_port, m_discovery_port);
        }
        Announcement a;
        std::string why;
        if (!ParseAnnouncement(data, len, &a, &why)) {
            return m_log->Fail(EXIT_UPDATER_FAULT, "bad announcement from %s: %s", AddressText(from).c_str(),
                               why.c_str());
        }
        if (m_options.have_expect_host && a.address != m_options.expect_host) {
            return m_log->Fail(EXIT_UPDATER_FAULT, "the announcement names the host %s; expected %s",
                               a.address_text.c_str(), AddressText(m_options.expect_host).c_str());
        }
        if (a.address != from) {
            m_log->Step("note: the announcement names %s but was sent from %s", a.address_text.c_str(),
                        AddressText(from).c_str());
        }
        m_server = a.address;
        m_server_port = a.port;
        m_log->Step("the updater's server is at %s", ServerText().c_str());
        return EXIT_OK;
    }
}

void Device::DrainAnnouncements() {
    m_manifest_at_ms = MonotonicMs();
    if (m_discovery == SOCKET_NONE) return;
    int count = 0;
    char data[2048];
    while (WaitMs(m_discovery, 0) > 0) {
        if (SockRecvFrom(m_discovery, data, sizeof data, nullptr, nullptr) >= 0) ++count;
    }
    if (count > 0) m_log->Step("(%d more announcement(s) arrived before the manifest)", count);
}

int Device::CheckNoLateAnnouncement() {
    if (m_discovery == SOCKET_NONE || WaitMs(m_discovery, 0) <= 0) return EXIT_OK;
    char data[2048];
    uint32_t from = 0;
    if (SockRecvFrom(m_discovery, data, sizeof data, &from, nullptr) < 0) return EXIT_OK;
    return m_log->Fail(EXIT_UPDATER_FAULT,
                       "%s went on announcing after the device had fetched the manifest (an announcement "
                       "arrived within %.1f s after it); the announcements must stop on the manifest request",
                       AddressText(from).c_str(), (MonotonicMs() - m_manifest_at_ms) / 1000.0);
}

int Device::Connect(From from, SocketHandle* out, const std::string& what) {
    *out = SockTcp();
    if (*out == SOCKET_NONE) return m_log->Fail(EXIT_LOCAL, "cannot create a TCP socket");
    if (from.bind && SockBind(*out, from.address, 0) != 0) {
        CloseSocket(out);
        return m_log->Fail(EXIT_LOCAL, "cannot make a connection from %s: it is not an address of this host",
                           AddressText(from.address).c_str());
    }
    bool connected = SockConnect(*out, m_server, m_server_port) == 0;
    if (!connected && m_first_contact) {
        // The updater may announce a moment before its server listens; a receiver that
        // has just heard it tries again rather than give up on the first refusal.
        m_log->Step(
            "note: the updater refused the first connection right after its announcement; trying "
            "again for up to %s",
            Seconds(m_options.timeout_ms).c_str());
        const long long deadline = MonotonicMs() + m_options.timeout_ms;
        while (!connected && MonotonicMs() < deadline) {
            SleepMs(100);
            CloseSocket(out);
            *out = SockTcp();
            if (*out == SOCKET_NONE) return m_log->Fail(EXIT_LOCAL, "cannot create a TCP socket");
            if (from.bind && SockBind(*out, from.address, 0) != 0) break;
            connected = SockConnect(*out, m_server, m_server_port) == 0;
        }
    }
    m_first_contact = false;
    if (!connected) {
        CloseSocket(out);
        return m_log->Fail(EXIT_UNREACHABLE,
                           "cannot connect to the updater's server at %s for %s: refused or unreachable (is "
                           "the updater still running, or does a firewall on the PC block TCP port %u?)",
                           ServerText().c_str(), what.c_str(), m_server_port);
    }
    return EXIT_OK;
}

int Device::Send(SocketHandle s, const std::string& path) {
    const std::string request = BuildRequest(path, AddressText(m_server), m_server_port);
    if (SockSend(s, request.data(), request.size()) < 0) {
        return m_log->Fail(EXIT_UNREACHABLE, "the connection to the updater broke while sending GET %s",
                           path.c_str());
    }
    return EXIT_OK;
}

int Device::Fetch(const std::string& path, const char* content_type, std::string* body, bool vanish) {
    SocketGuard conn;
    int r = Connect(DeviceFrom(), conn.ptr(), "GET " + path);
    if (r != EXIT_OK) return r;
    r = Send(conn.get(), path);
    if (r != EXIT_OK) return r;
    std::string data;
    ResponseHead head;
    bool have_head = false;
    std::vector<char> chunk(64 * 1024);
    for (;;) {
        size_t want = chunk.size();
        // Vanishing halfway needs to know where the body starts: small reads until then.
        if (vanish && !have_head) want = 16;
        if (vanish && have_head) {
            // Half of the image, at least one byte of it, then gone.
            const size_t target = head.head_bytes + (head.content_length > 1 ? head.content_length / 2 : 1);
            if (data.size() >= target || head.content_length == 0) {
                conn.Abort();
                m_log->Step("vanishing after %zu of %u bytes of %s (connection reset, as on a power loss)",
                            data.size() - head.head_bytes, head.content_length, path.c_str());
                return EXIT_OK;
            }
            if (target - data.size() < want) want = target - data.size();
        }
        const int w = WaitMs(conn.get(), m_options.timeout_ms);
        if (w == 0) {
            if (data.empty()) {
                return m_log->Fail(EXIT_UNREACHABLE, "the updater sent no answer to GET %s within %s",
                                   path.c_str(), Seconds(m_options.timeout_ms).c_str());
            }
            return m_log->Fail(
                EXIT_UNREACHABLE,
                "the updater stopped sending after %zu bytes of its answer to GET %s (nothing for "
                "%s)",
                data.size(), path.c_str(), Seconds(m_options.timeout_ms).c_str());
        }
        if (w < 0)
            return m_log->Fail(EXIT_UNREACHABLE, "waiting for the answer to GET %s failed", path.c_str());
        const int n = SockRecv(conn.get(), chunk.data(), want);
        if (n < 0) {
            if (data.empty()) {
                return m_log->Fail(EXIT_UPDATER_FAULT,
                                   "the updater reset the connection without answering GET %s", path.c_str());
            }
            return m_log->Fail(EXIT_UNREACHABLE,
                               "the connection broke after %zu bytes of the answer to GET %s", data.size(),
                               path.c_str());
        }
        if (n == 0) break;
        data.append(chunk.data(), static_cast<size_t>(n));
        if (!have_head) {
            std::string why;
            const HeadStatus status = ParseResponseHead(data.data(), data.size(), &head, &why);
            if (status == HeadStatus::BAD) {
                return m_log->Fail(EXIT_UPDATER_FAULT, "the answer to GET %s is wrong: %s", path.c_str(),
                                   why.c_str());
            }
            if (status == HeadStatus::COMPLETE) {
                have_head = true;
                if (head.content_type != content_type) {
                    return m_log->Fail(EXIT_UPDATER_FAULT,
                                       "the answer to GET %s has Content-Type \"%s\"; expected \"%s\"",
                                       path.c_str(), Printable(head.content_type).c_str(), content_type);
                }
            }
        }
        if (have_head && data.size() - head.head_bytes > head.content_length) {
            return m_log->Fail(EXIT_UPDATER_FAULT,
                               "the answer to GET %s goes on beyond its Content-Length of %u bytes",
                               path.c_str(), head.content_length);
        }
    }
    if (data.empty()) {
        return m_log->Fail(
            EXIT_UPDATER_FAULT,
            "the updater closed the connection without answering GET %s (does it serve another "
            "device?)",
            path.c_str());
    }
    if (!have_head) {
        return m_log->Fail(EXIT_UPDATER_FAULT, "the answer to GET %s ends inside its head: \"%s\"",
                           path.c_str(), Printable(data).c_str());
    }
    const size_t got = data.size() - head.head_bytes;
    if (got != head.content_length) {
        return m_log->Fail(
            EXIT_UPDATER_FAULT,
            "the answer to GET %s carries %zu bytes, but its Content-Length says %u (connection "
            "closed early)",
            path.c_str(), got, head.content_length);
    }
    if (vanish) {
        // The whole answer came in one go (an empty or tiny image): gone all the same.
        conn.Abort();
        m_log->Step("vanishing right after %s (connection reset)", path.c_str());
        return EXIT_OK;
    }
    *body = data.substr(head.head_bytes);
    return EXIT_OK;
}

int Device::FetchManifest(std::vector<ManifestEntry>* entries) {
    std::string body;
    const int r = Fetch("/list.lst", "text/plain", &body, false);
    if (r != EXIT_OK) return r;
    std::string why;
    if (!ParseManifest(body, entries, &why)) {
        return m_log->Fail(EXIT_UPDATER_FAULT, "bad manifest: %s", why.c_str());
    }
    std::string listed;
    for (const ManifestEntry& e : *entries) {
        if (!listed.empty()) listed += ", ";
        listed += "/dev/mtd/" + std::to_string(e.partition) + " (checksum " + ChecksumText(e.checksum) + ")";
    }
    m_log->Step("GET /list.lst: %zu bytes, %zu partition(s): %s", body.size(), entries->size(),
                listed.c_str());
    return EXIT_OK;
}

int Device::FetchImage(const ManifestEntry& entry, bool vanish) {
    const std::string path = ImagePath(entry.partition);
    std::string body;
    const int r = Fetch(path, "application/octet-stream", &body, vanish);
    if (r != EXIT_OK || vanish) return r;
    const uint32_t sum = ImageChecksum(reinterpret_cast<const unsigned char*>(body.data()),
                                       static_cast<uint32_t>(body.size()));
    if (sum != entry.checksum) {
        // A real receiver says so to the updater before it gives up.
        m_log->Fail(EXIT_UPDATER_FAULT,
                    "the image %s (%zu bytes) has the checksum %s, but the manifest says %s (reported "
                    "checksum error to the updater)",
                    path.c_str(), body.size(), ChecksumText(sum).c_str(),
                    ChecksumText(entry.checksum).c_str());
        SendReport(sim::Report::CHECKSUM_ERROR, entry.partition, DeviceFrom());
        return EXIT_UPDATER_FAULT;
    }
    m_log->Step("GET %s: %zu bytes, checksum %s matches the manifest", path.c_str(), body.size(),
                ChecksumText(sum).c_str());
    return EXIT_OK;
}

int Device::WaitForClose(SocketHandle s, const std::string& what, Closing* closing,
                         std::string* first_bytes) {
    const int w = WaitMs(s, m_options.timeout_ms);
    if (w == 0) {
        return m_log->Fail(EXIT_UNREACHABLE,
                           "the updater kept the connection of %s open for %s without closing it",
                           what.c_str(), Seconds(m_options.timeout_ms).c_str());
    }
    char data[256];
    const int n = w > 0 ? SockRecv(s, data, sizeof data) : -1;
    // A reset counts as closed: the updater closes without reading what it does not need.
    *closing = n > 0 ? Closing::ANSWERED : Closing::CLOSED;
    if (n > 0 && first_bytes != nullptr) *first_bytes = Printable(data, static_cast<size_t>(n));
    return EXIT_OK;
}

int Device::SendReport(sim::Report report, int partition, From from) {
    if (m_options.slow_ms > 0) SleepMs(m_options.slow_ms);
    const std::string path = ReportPath(report, partition);
    SocketGuard conn;
    int r = Connect(from, conn.ptr(), "GET " + path);
    if (r != EXIT_OK) return r;
    r = Send(conn.get(), path);
    if (r != EXIT_OK) return r;
    Closing closing;
    std::string answer;
    r = WaitForClose(conn.get(), "the report GET " + path, &closing, &answer);
    if (r != EXIT_OK) return r;
    if (closing == Closing::ANSWERED) {
        return m_log->Fail(EXIT_UPDATER_FAULT,
                           "the updater answered the report GET %s with \"%s\"; a report gets none",
                           path.c_str(), answer.c_str());
    }
    const std::string by = from.address != DeviceFrom().address ? " from " + AddressText(from.address) : "";
    m_log->Step("report \"%s\" (GET %s)%s: taken, closed without an answer", ReportName(report), path.c_str(),
                by.c_str());
    return EXIT_OK;
}

bool Device::ServerAccepts() {
    SocketHandle s = SockTcp();
    if (s == SOCKET_NONE) return false;
    if (m_options.have_source) SockBind(s, m_options.source_address, 0);
    const bool connected = SockConnect(s, m_server, m_server_port) == 0;
    SockClose(s);
    return connected;
}

int Device::CheckRunEnd(bool expect_end, const std::string& after) {
    if (expect_end) {
        // The updater closes its listening socket before the report's connection, so one
        // refusal settles it; a few tries allow an updater that closes them the other way.
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (attempt > 0) SleepMs(100);
            if (!ServerAccepts()) {
                m_log->Step("the updater ended its run after %s: its server no longer accepts connections",
                            after.c_str());
                return EXIT_OK;
            }
        }
        return m_log->Fail(EXIT_UPDATER_FAULT,
                           "the updater's server still accepts connections after %s: it did not end its run",
                           after.c_str());
    }
    if (!ServerAccepts()) {
        return m_log->Fail(EXIT_UPDATER_FAULT, "the updater ended its run after %s; it must go on serving",
                           after.c_str());
    }
    m_log->Step("the updater goes on serving after %s, as it must", after.c_str());
    return EXIT_OK;
}

int Device::ResolvePartitions(const std::vector<ManifestEntry>& entries) {
    struct Mode {
        const char* flag;
        int given;
        int* resolved;
    };
    const Mode modes[] = {{"--checksum-error", m_options.checksum_error, &m_checksum_error},
                          {"--vanish", m_options.vanish, &m_vanish},
                          {"--fetch-twice", m_options.fetch_twice, &m_fetch_twice}};
    for (const Mode& m : modes) {
        *m.resolved = NO_PARTITION;
        if (m.given == NO_PARTITION) continue;
        if (m.given == FIRST_LISTED) {
            *m.resolved = entries.front().partition;
            continue;
        }
        bool listed = false;
        for (const ManifestEntry& e : entries) listed = listed || e.partition == m.given;
        if (!listed) {
            return m_log->Fail(EXIT_USAGE, "%s=%d: the manifest does not list /dev/mtd/%d", m.flag, m.given,
                               m.given);
        }
        *m.resolved = m.given;
    }
    return EXIT_OK;
}

int Device::ForgeRequests(const std::vector<ManifestEntry>& entries) {
    const From forger{true, m_options.forge_address};
    const std::string second = AddressText(m_options.forge_address);
    m_log->Step("forging requests from the second address %s", second.c_str());
    const std::string paths[] = {"/list.lst", ImagePath(entries.front().partition)};
    for (const std::string& path : paths) {
        SocketGuard conn;
        int r = Connect(forger, conn.ptr(), "GET " + path + " from " + second);
        if (r != EXIT_OK) return r;
        r = Send(conn.get(), path);
        if (r != EXIT_OK) return r;
        Closing closing;
        std::string answer;
        r = WaitForClose(conn.get(), "GET " + path + " from " + second, &closing, &answer);
        if (r != EXIT_OK) return r;
        if (closing == Closing::ANSWERED) {
            return m_log->Fail(
                EXIT_UPDATER_FAULT,
                "the updater answered GET %s from the second address %s (\"%s\"); it must serve "
                "only the device that fetched the manifest",
                path.c_str(), second.c_str(), answer.c_str());
        }
        m_log->Step("forged GET %s from %s: closed unanswered, as it must be", path.c_str(), second.c_str());
    }
    return EXIT_OK;
}

int Device::ForgeFinalReports(const std::vector<ManifestEntry>& entries) {
    // Sent once every image has been served, so that a forged completion that the updater
    // took would end its run as surely as the real one.
    const From forger{true, m_options.forge_address};
    const std::string second = AddressText(m_options.forge_address);
    const sim::Report finals[] = {sim::Report::CHECKSUM_ERROR, sim::Report::OLD_VERSION,
                                  sim::Report::COMPLETED};
    for (sim::Report report : finals) {
        const int partition = report == sim::Report::CHECKSUM_ERROR ? entries.front().partition : 0;
        int r = SendReport(report, partition, forger);
        if (r != EXIT_OK) return r;
        r = CheckRunEnd(false,
                        std::string("the report \"") + ReportName(report) + "\" forged from " + second);
        if (r != EXIT_OK) return r;
    }
    return EXIT_OK;
}

int Device::Session() {
    bool vanished = false;
    for (int pass = 1;; ++pass) {
        if (pass > 1) m_log->Step("starting over from the manifest");
        std::vector<ManifestEntry> entries;
        int r = FetchManifest(&entries);
        if (r != EXIT_OK) return r;
        if (pass == 1) {
            r = ResolvePartitions(entries);
            if (r != EXIT_OK) return r;
        }
        DrainAnnouncements();
        if (m_options.old_version) {
            r = SendReport(sim::Report::OLD_VERSION, 0, DeviceFrom());
            if (r != EXIT_OK) return r;
            return CheckRunEnd(true, "the report \"can not use the old version\"");
        }
        if (m_options.silent_after_manifest) {
            m_log->Step("falling silent for %s", Seconds(m_options.silent_ms).c_str());
            SleepMs(m_options.silent_ms);
            m_log->Step("leaving without a final report");
            return EXIT_OK;
        }
        if (m_options.have_forge && pass == 1) {
            r = ForgeRequests(entries);
            if (r != EXIT_OK) return r;
        }
        bool restart = false;
        for (const ManifestEntry& e : entries) {
            if (e.partition == m_vanish && !vanished) {
                r = FetchImage(e, true);
                if (r != EXIT_OK) return r;
                vanished = true;
                if (!m_options.retry) {
                    m_log->Step(
                        "gone for good: the updater is left waiting for a device that does not return");
                    return EXIT_OK;
                }
                m_log->Step("coming back in %s", Seconds(m_options.retry_after_ms).c_str());
                SleepMs(m_options.retry_after_ms);
                restart = true;
                break;
            }
            r = FetchImage(e, false);
            if (r != EXIT_OK) return r;
            if (e.partition == m_checksum_error) {
                r = SendReport(sim::Report::CHECKSUM_ERROR, e.partition, DeviceFrom());
                if (r != EXIT_OK) return r;
                return CheckRunEnd(true, "the report \"checksum error\"");
            }
            if (e.partition == m_fetch_twice) {
                m_log->Step("fetching /dev/mtd/%d a second time", e.partition);
                r = FetchImage(e, false);
                if (r != EXIT_OK) return r;
            }
            const sim::Report steps[] = {sim::Report::ERASE_START, sim::Report::ERASE_FINISH,
                                         sim::Report::WRITING, sim::Report::WROTE};
            for (sim::Report step : steps) {
                r = SendReport(step, e.partition, DeviceFrom());
                if (r != EXIT_OK) return r;
            }
        }
        if (restart) continue;
        if (m_options.have_forge) {
            r = ForgeFinalReports(entries);
            if (r != EXIT_OK) return r;
        }
        r = SendReport(sim::Report::COMPLETED, 0, DeviceFrom());
        if (r != EXIT_OK) return r;
        r = CheckNoLateAnnouncement();
        if (r != EXIT_OK) return r;
        if (m_fetch_twice != NO_PARTITION) {
            return CheckRunEnd(true, "\"Upgrade completed\" with /dev/mtd/" + std::to_string(m_fetch_twice) +
                                         " fetched twice");
        }
        return CheckRunEnd(true, "\"Upgrade completed\"");
    }
}

}  // namespace sim
