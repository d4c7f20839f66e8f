// The simulated receiver against a scripted updater over loopback: the requests it sends in
// each mode, and that every fault of the updater it is meant to catch ends the run with the
// right exit code and a line that names the fault.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "images/manifest.h"
#include "platform/sockets.h"
#include "platform/threads.h"
#include "tools/sim/device.h"
#include "tools/sim/options.h"

namespace {

constexpr uint32_t kNobody = 0xFFFFFFFFu;

struct Seen {
    uint32_t peer;
    std::string path;  // empty for a connection that sent nothing (the device's probe)
    std::string text;
    long long at_ms;
};

// A small stand-in for the updater's server, with knobs for the faults the simulator must
// catch. It serves three images to the first device that fetches the manifest, ignores
// everyone else, takes reports without answering and ends on a final report.
class ScriptedUpdater {
public:
    // Knobs; set before Start.
    std::string manifest_override;  // served instead of the real manifest when not empty
    std::string image_type = "application/octet-stream";
    int corrupt_partition = 0;  // serve this image with one byte changed
    int short_partition = 0;    // claim one byte more than is sent
    bool answer_reports = false;
    bool answer_everyone = false;  // serve hosts other than the pinned one
    bool take_forged_finals = false;
    bool keep_listening = false;   // do not end on the final report
    bool never_answer = false;     // read requests, answer nothing, keep the connection
    unsigned listen_after_ms = 0;  // bound at once but listening only after this long

    ScriptedUpdater() {
        const uint32_t sizes[] = {484, 10000, 3000};
        for (int i = 0; i < 3; ++i) {
            std::string& image = m_images[i];
            for (uint32_t b = 0; b < sizes[i]; ++b)
                image += static_cast<char>((b * 7 + static_cast<uint32_t>(i)) & 0xFF);
        }
    }
    ~ScriptedUpdater() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_listen != SOCKET_NONE) SockClose(m_listen);
    }

    void Start() {
        m_listen = SockTcp();
        ASSERT_EQ(SockBind(m_listen, LoopbackIPv4(), 0), 0);
        // A bound socket that does not listen yet refuses connections, as an updater does
        // whose announcer has started before its server.
        if (listen_after_ms == 0) {
            ASSERT_EQ(SockListen(m_listen, 20), 0);
        }
        m_port = SockLocalPort(m_listen);
        m_thread = std::thread([this] {
            if (listen_after_ms > 0) {
                SleepMs(listen_after_ms);
                SockListen(m_listen, 20);
            }
            Loop();
        });
    }

    uint16_t port() const { return m_port; }
    bool ended() const { return m_ended; }
    const std::string& image(int partition) const { return m_images[partition - 4]; }

    // The paths of every request, probes left out, in order of arrival.
    std::vector<Seen> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Seen> out;
        for (const Seen& s : m_seen) {
            if (!s.path.empty()) out.push_back(s);
        }
        return out;
    }
    std::vector<std::string> Paths() {
        std::vector<std::string> out;
        for (const Seen& s : Requests()) out.push_back(s.path);
        return out;
    }

private:
    std::string Manifest() const {
        if (!manifest_override.empty()) return manifest_override;
        std::string m = "ZID2020 4\r\n";
        for (int i = 0; i < 3; ++i) {
            char line[32];
            const auto* data = reinterpret_cast<const unsigned char*>(m_images[i].data());
            std::snprintf(
                line, sizeof line, "%05u /dev/mtd/%d\r\n",
                static_cast<unsigned>(ImageChecksum(data, static_cast<uint32_t>(m_images[i].size()))), i + 4);
            m += line;
        }
        return m;
    }

    static void Answer(SocketHandle c, const std::string& type, const std::string& body, size_t claimed) {
        const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: " + type +
                                 "\r\nContent-Length: " + std::to_string(claimed) +
                                 "\r\nConnection: close\r\n\r\n";
        SockSend(c, head.data(), head.size());
        SockSend(c, body.data(), body.size());
    }

    void Loop() {
        uint32_t pinned = kNobody;
        bool served[3] = {false, false, false};
        const long long start = MonotonicMs();
        while (!m_stop) {
            if (SockWaitReadable(m_listen, 0, 20000) <= 0) continue;
            uint32_t peer = 0;
            const SocketHandle c = SockAccept(m_listen, &peer);
            if (c == SOCKET_NONE) continue;
            std::string text;
            char ch;
            while (text.find("\r\n\r\n") == std::string::npos && SockWaitReadable(c, 5, 0) > 0 &&
                   SockRecv(c, &ch, 1) == 1) {
                text += ch;
            }
            std::string path;
            if (text.compare(0, 4, "GET ") == 0) path = text.substr(4, text.find(' ', 4) - 4);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_seen.push_back(Seen{peer, path, text, MonotonicMs() - start});
            }
            if (never_answer && !path.empty()) {
                while (!m_stop) SleepMs(10);
                SockClose(c);
                break;
            }
            const bool admitted = answer_everyone || pinned == kNobody || pinned == peer;
            const bool from_device = pinned == peer || (take_forged_finals && pinned != kNobody);
            bool end = false;
            if (path == "/list.lst" && admitted) {
                if (pinned == kNobody) pinned = peer;
                const std::string m = Manifest();
                Answer(c, "text/plain", m, m.size());
            } else if (path.compare(0, 9, "/dev/mtd/") == 0 && path.size() == 10 && admitted) {
                const int partition = path[9] - '0';
                if (pinned == kNobody) pinned = peer;
                std::string body = m_images[partition - 4];
                if (partition == corrupt_partition) body[100] = static_cast<char>(body[100] ^ 0x5A);
                Answer(c, image_type, body, body.size() + (partition == short_partition ? 1 : 0));
                served[partition - 4] = true;
            } else if (!path.empty()) {
                if (answer_reports) SockSend(c, "OK", 2);
                const bool completed = path.find("Upgrade%20completed") != std::string::npos;
                const bool final_report = completed || path.find("checksum%20error") != std::string::npos ||
                                          path.find("old%20version") != std::string::npos;
                if (final_report && from_device && !keep_listening) {
                    end = !completed || (served[0] && served[1] && served[2]);
                }
            }
            if (end) {
                // Listening socket first, as the updater does, then the report's connection.
                m_ended = true;  // before the device can see the close
                SockClose(m_listen);
                m_listen = SOCKET_NONE;
                SockClose(c);
                return;
            }
            SockClose(c);
        }
    }

    std::string m_images[3];
    SocketHandle m_listen = SOCKET_NONE;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ended{false};
    std::mutex m_mutex;
    std::vector<Seen> m_seen;
};

struct Result {
    int code;
    std::string steps;
    std::string error;
};

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(SockStartup(), 1); }
    void TearDown() override { SockCleanup(); }

    // Runs the simulator against the scripted updater (started here) with these flags.
    Result RunAgainst(ScriptedUpdater& updater, std::vector<std::string> args) {
        updater.Start();
        args.insert(args.begin(),
                    {"--server", "127.0.0.1:" + std::to_string(updater.port()), "--timeout", "5"});
        return RunSim(args);
    }

    static Result RunSim(const std::vector<std::string>& args) {
        sim::Options options;
        std::string why;
        if (!sim::ParseOptions(args, &options, &why)) return Result{sim::EXIT_USAGE, "", why};
        sim::Transcript transcript(nullptr, nullptr);
        sim::Device device(options, &transcript);
        const int code = device.Run();
        return Result{code, transcript.steps(), transcript.error()};
    }

    static std::vector<std::string> FullRun(const std::vector<int>& partitions) {
        std::vector<std::string> paths = {"/list.lst"};
        for (int p : partitions) {
            const std::string m = "mtd" + std::to_string(p);
            paths.insert(paths.end(), {"/dev/mtd/" + std::to_string(p), "/erase%20start%20" + m,
                                       "/erase%20finish%20" + m, "/writing%20" + m, "/wrote%20" + m});
        }
        paths.push_back("/Upgrade%20completed");
        return paths;
    }
};

TEST_F(DeviceTest, AWholeUpdateFetchesEverythingInOrderReportsAndSeesTheRunEnd) {
    ScriptedUpdater updater;
    const Result r = RunAgainst(updater, {});
    EXPECT_EQ(r.code, sim::EXIT_OK) << r.error << "\n" << r.steps;
    EXPECT_EQ(updater.Paths(), FullRun({4, 5, 6}));
    EXPECT_TRUE(updater.ended());
    // Every request as the device sends it: HTTP/1.0, CR LF, a blank line at the end.
    for (const Seen& s : updater.Requests()) {
        EXPECT_EQ(s.text, "GET " + s.path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(updater.port()) +
                              "\r\n\r\n");
    }
    EXPECT_NE(r.steps.find("GET /dev/mtd/5: 10000 bytes, checksum"), std::string::npos) << r.steps;
    EXPECT_NE(r.steps.find("no longer accepts connections"), std::string::npos) << r.steps;
}

TEST_F(DeviceTest, AServerThatListensAMomentAfterItsAnnouncementIsReachedAllTheSame) {
    ScriptedUpdater updater;
    updater.listen_after_ms = 200;
    const Result r = RunAgainst(updater, {});
    EXPECT_EQ(r.code, sim::EXIT_OK) << r.error;
    EXPECT_NE(r.steps.find("refused the first connection"), std::string::npos) << r.steps;
    EXPECT_EQ(updater.Paths(), FullRun({4, 5, 6}));
}

TEST_F(DeviceTest, EachFaultModeSendsWhatThatDeviceWould) {
    {
        ScriptedUpdater updater;
        const Result r = RunAgainst(updater, {"--checksum-error=5"});
        EXPECT_EQ(r.code, sim::EXIT_OK) << r.error;
        std::vector<std::string> expected = FullRun({4});
        expected.back() = "/dev/mtd/5";
        expected.push_back("/checksum%20error%20mtd5");
        EXPECT_EQ(updater.Paths(), expected);
        EXPECT_TRUE(updater.ended());
    }
    {
        ScriptedUpdater updater;
        const Result r = RunAgainst(updater, {"--old-version"});
        EXPECT_EQ(r.code, sim::EXIT_OK) << r.error;
        EXPECT_EQ(updater.Paths(),
                  (std::vector<std::string>{"/list.lst", "/can%20not%20use%20the%20old%20version"}));
    }
    {
        ScriptedUpdater updater;
        const Result r = RunAgainst(updater, {"--fetch-twice"});
        EXPECT_EQ(r.code, sim::EXIT_OK) << r.error;
        std::vector<std::string> expected = FullRun({4, 5, 6});
        expected.insert(expected.begin() + 1, "/dev/mtd/4");
        EXPECT_EQ(updater.Paths(), expected);
    }
    {
        ScriptedUpdater updater;
        const long long start = MonotonicMs();
        const Result r = RunAgainst(updater, {"--silent-after-manifest=0.3"});
        EXPECT_EQ(r.code, sim::EXIT_OK) << r.error;
        EXPECT_GE(MonotonicMs() - start, 300);
        EXPECT_EQ(updater.Paths(), (std::vector<std::string>{"/list.lst"}));
        EXPECT_FALSE(updater.ended());
    }
}

TEST_F(DeviceTest, AVanishedDeviceResetsMidImageAndStartsOverFromTheManifest) {
    ScriptedUpdater updater;
    const Result r = RunAgainst(updater, {"--vanish=5", "--retry-after", "0.1"});
    EXPECT_EQ(r.code, sim::EXIT_OK) << r.error;
    std::vector<std::string> expected = FullRun({4});
    expected.pop_back();
    expected.push_back("/dev/mtd/5");
    for (const std::string& p : FullRun({4, 5, 6})) expected.push_back(p);
    EXPECT_EQ(updater.Paths(), expected);
    EXPECT_NE(r.steps.find("vanishing after 5000 of 10000 bytes of /dev/mtd/5"), std::string::npos)
        << r.steps;

    ScriptedUpdater left;
    const Result gone = RunAgainst(left, {"--vanish", "--no-retry"});
    EXPECT_EQ(gone.code, sim::EXIT_OK) << gone.error;
    EXPECT_EQ(left.Paths(), (std::vector<std::string>{"/list.lst", "/dev/mtd/4"}));
    EXPECT_FALSE(left.ended());
}

TEST_F(DeviceTest, SlowWritingSpacesTheReportsOut) {
    ScriptedUpdater updater;
    const Result r = RunAgainst(updater, {"--slow", "0.06"});
    ASSERT_EQ(r.code, sim::EXIT_OK) << r.error;
    const std::vector<Seen> seen = updater.Requests();
    ASSERT_EQ(seen.size(), FullRun({4, 5, 6}).size());
    int reports = 0;
    for (size_t i = 1; i < seen.size(); ++i) {
        if (seen[i].path.compare(0, 9, "/dev/mtd/") == 0) continue;
        EXPECT_GE(seen[i].at_ms - seen[i - 1].at_ms, 55) << seen[i].path;
        ++reports;
    }
    EXPECT_EQ(reports, 13);
}

TEST_F(DeviceTest, TheForgerAsksFromTheSecondAddressAndNothingOfItIsTaken) {
    ScriptedUpdater updater;
    const Result r = RunAgainst(updater, {"--source", "127.0.0.1", "--forge-from", "127.0.0.2"});
    EXPECT_EQ(r.code, sim::EXIT_OK) << r.error << "\n" << r.steps;
    std::vector<std::string> forged;
    for (const Seen& s : updater.Requests()) {
        if (s.peer == MakeIPv4(127, 0, 0, 2)) forged.push_back(s.path);
    }
    EXPECT_EQ(forged,
              (std::vector<std::string>{"/list.lst", "/dev/mtd/4", "/checksum%20error%20mtd4",
                                        "/can%20not%20use%20the%20old%20version", "/Upgrade%20completed"}));
    EXPECT_TRUE(updater.ended());
}

TEST_F(DeviceTest, UpdaterFaultsEndTheRunWithExitOneAndSayWhat) {
    struct Case {
        const char* name;
        void (*set)(ScriptedUpdater&);
        std::vector<std::string> args;
        const char* said;
    };
    const Case cases[] = {
        {"manifest checksum differs",
         [](ScriptedUpdater& u) { u.corrupt_partition = 5; },
         {},
         "but the manifest says"},
        {"wrong image type", [](ScriptedUpdater& u) { u.image_type = "text/plain"; }, {}, "Content-Type"},
        {"body shorter than its length",
         [](ScriptedUpdater& u) { u.short_partition = 6; },
         {},
         "Content-Length"},
        {"manifest with LF alone",
         [](ScriptedUpdater& u) { u.manifest_override = "ZID2020 4\r\n12345 /dev/mtd/4\n"; },
         {},
         "LF alone"},
        {"a report answered", [](ScriptedUpdater& u) { u.answer_reports = true; }, {}, "answered the report"},
        {"run not ended", [](ScriptedUpdater& u) { u.keep_listening = true; }, {}, "did not end its run"},
        {"forger served",
         [](ScriptedUpdater& u) { u.answer_everyone = true; },
         {"--source", "127.0.0.1", "--forge-from", "127.0.0.2"},
         "from the second address"},
        {"forged final taken",
         [](ScriptedUpdater& u) { u.take_forged_finals = true; },
         {"--source", "127.0.0.1", "--forge-from", "127.0.0.2"},
         "ended its run after the report \"checksum error\""},
    };
    for (const Case& c : cases) {
        ScriptedUpdater updater;
        c.set(updater);
        const Result r = RunAgainst(updater, c.args);
        EXPECT_EQ(r.code, sim::EXIT_UPDATER_FAULT) << c.name << ": " << r.error << "\n" << r.steps;
        EXPECT_NE(r.error.find(c.said), std::string::npos) << c.name << ": " << r.error;
    }
    // A device whose check failed tells the updater before it gives up.
    ScriptedUpdater corrupt;
    corrupt.corrupt_partition = 4;
    RunAgainst(corrupt, {});
    EXPECT_EQ(corrupt.Paths(),
              (std::vector<std::string>{"/list.lst", "/dev/mtd/4", "/checksum%20error%20mtd4"}));
}

TEST_F(DeviceTest, AnUnreachableOrSilentUpdaterIsExitFour) {
    // A port nobody listens on: bound for a moment, then released.
    const SocketHandle probe = SockTcp();
    ASSERT_EQ(SockBind(probe, LoopbackIPv4(), 0), 0);
    const uint16_t closed = SockLocalPort(probe);
    SockClose(probe);
    const long long start = MonotonicMs();
    const Result refused = RunSim({"--server", "127.0.0.1:" + std::to_string(closed), "--timeout", "0.3"});
    EXPECT_EQ(refused.code, sim::EXIT_UNREACHABLE) << refused.error;
    EXPECT_NE(refused.error.find("cannot connect"), std::string::npos) << refused.error;
    EXPECT_GE(MonotonicMs() - start, 300) << "the first connection is tried again for --timeout";

    ScriptedUpdater silent;
    silent.never_answer = true;
    silent.Start();
    const Result r = RunSim({"--server", "127.0.0.1:" + std::to_string(silent.port()), "--timeout", "0.3"});
    EXPECT_EQ(r.code, sim::EXIT_UNREACHABLE) << r.error;
    EXPECT_NE(r.error.find("no answer to GET /list.lst"), std::string::npos) << r.error;

    ScriptedUpdater updater;
    const Result unlisted = RunAgainst(updater, {"--checksum-error=3"});
    EXPECT_EQ(unlisted.code, sim::EXIT_USAGE) << unlisted.error;
    EXPECT_NE(unlisted.error.find("does not list /dev/mtd/3"), std::string::npos);
}

// Discovery, with the announcement sent by the test to the simulator's loopback port (from
// a socket on the same port number, as the updater sends from the discovery port).
class DiscoveryTest : public DeviceTest {
protected:
    Result Discover(const std::string& datagram, std::vector<std::string> extra, bool same_port = true) {
        sim::Options options;
        std::string why;
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--wait", "2", "--discover-only"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_TRUE(sim::ParseOptions(args, &options, &why)) << why;
        sim::Transcript transcript(nullptr, nullptr);
        sim::Device device(options, &transcript);
        EXPECT_EQ(device.OpenDiscovery(), sim::EXIT_OK);
        const SocketHandle sender = SockUdp();
        EXPECT_EQ(SockBind(sender, MakeIPv4(127, 0, 0, 2), same_port ? device.discovery_port() : 0), 0);
        Result result;
        std::thread run([&] { result.code = device.Run(); });
        if (!datagram.empty()) {
            EXPECT_GT(
                SockSendTo(sender, datagram.data(), datagram.size(), LoopbackIPv4(), device.discovery_port()),
                0);
        }
        run.join();
        SockClose(sender);
        result.steps = transcript.steps();
        result.error = transcript.error();
        return result;
    }
};

TEST_F(DiscoveryTest, ACorrectAnnouncementNamesTheServer) {
    const Result r =
        Discover("ZID-FWTools 1.0\r\nHOST:http://127.0.0.2:20205\r\n\r\n", {"--expect-host", "127.0.0.2"});
    EXPECT_EQ(r.code, sim::EXIT_OK) << r.error;
    EXPECT_NE(r.steps.find("the updater's server is at 127.0.0.2:20205"), std::string::npos) << r.steps;
}

TEST_F(DiscoveryTest, AWrongAnnouncementSenderOrHostIsAnUpdaterFault) {
    Result r = Discover("ZID-FWTools 1.0\r\nHOST:http://127.0.0.2:20205\r\n", {});
    EXPECT_EQ(r.code, sim::EXIT_UPDATER_FAULT);
    EXPECT_NE(r.error.find("bad announcement from 127.0.0.2"), std::string::npos) << r.error;

    r = Discover("ZID-FWTools 1.0\r\nHOST:http://127.0.0.2:20205\r\n\r\n", {"--expect-host", "127.0.0.9"});
    EXPECT_EQ(r.code, sim::EXIT_UPDATER_FAULT);
    EXPECT_NE(r.error.find("expected 127.0.0.9"), std::string::npos) << r.error;

    r = Discover("ZID-FWTools 1.0\r\nHOST:http://127.0.0.2:20205\r\n\r\n", {}, false);
    EXPECT_EQ(r.code, sim::EXIT_UPDATER_FAULT);
    EXPECT_NE(r.error.find("must send it from port"), std::string::npos) << r.error;
}

TEST_F(DiscoveryTest, NoAnnouncementIsExitThreeAndATakenPortExitFive) {
    const long long start = MonotonicMs();
    sim::Options options;
    std::string why;
    ASSERT_TRUE(sim::ParseOptions({"--listen", "127.0.0.1:0", "--wait", "0.3"}, &options, &why));
    sim::Transcript transcript(nullptr, nullptr);
    sim::Device device(options, &transcript);
    EXPECT_EQ(device.Run(), sim::EXIT_NO_ANNOUNCEMENT);
    EXPECT_GE(MonotonicMs() - start, 290);
    EXPECT_NE(transcript.error().find("no announcement arrived"), std::string::npos);

    // The port of the first simulator, still bound by it.
    ASSERT_TRUE(sim::ParseOptions({"--listen", "127.0.0.1:" + std::to_string(device.discovery_port())},
                                  &options, &why));
    sim::Transcript second_transcript(nullptr, nullptr);
    sim::Device second(options, &second_transcript);
    EXPECT_EQ(second.Run(), sim::EXIT_LOCAL);
    EXPECT_NE(second_transcript.error().find("cannot listen on UDP"), std::string::npos);
}

TEST_F(DiscoveryTest, AnAnnouncementAfterTheManifestIsAnUpdaterFault) {
    ScriptedUpdater updater;
    updater.Start();
    sim::Options options;
    std::string why;
    ASSERT_TRUE(sim::ParseOptions(
        {"--listen", "127.0.0.1:0", "--wait", "2", "--timeout", "5", "--slow", "0.05"}, &options, &why));
    sim::Transcript transcript(nullptr, nullptr);
    sim::Device device(options, &transcript);
    ASSERT_EQ(device.OpenDiscovery(), sim::EXIT_OK);
    const SocketHandle sender = SockUdp();
    ASSERT_EQ(SockBind(sender, MakeIPv4(127, 0, 0, 2), device.discovery_port()), 0);
    int code = -1;
    std::thread run([&] { code = device.Run(); });
    const std::string datagram =
        "ZID-FWTools 1.0\r\nHOST:http://127.0.0.1:" + std::to_string(updater.port()) + "\r\n\r\n";
    SockSendTo(sender, datagram.data(), datagram.size(), LoopbackIPv4(), device.discovery_port());
    // Once the first image has been fetched the device has read the manifest and drained
    // what came before it; what comes now is late.
    const long long deadline = MonotonicMs() + 5000;
    while (updater.Paths().size() < 2 && MonotonicMs() < deadline) SleepMs(5);
    SockSendTo(sender, datagram.data(), datagram.size(), LoopbackIPv4(), device.discovery_port());
    run.join();
    SockClose(sender);
    EXPECT_EQ(code, sim::EXIT_UPDATER_FAULT) << transcript.steps();
    EXPECT_NE(transcript.error().find("went on announcing"), std::string::npos) << transcript.error();
}

}  // namespace
