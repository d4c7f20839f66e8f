// The update worker: the outcome mapping, whole runs against a scripted device on loopback
// (which learns the server's port from the captured announcement, as the device would),
// the stop of a run at every stage, and runs that follow each other. The interface list is
// injected and every datagram captured: nothing is announced on this machine's networks.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "net/announcer.h"
#include "net/http_server.h"
#include "platform/threads.h"
#include "run/run_state.h"
#include "run/update_worker.h"
#include "tests/net/net_test_support.h"

namespace {

using nettest::Eventually;
using nettest::Fetch;
using nettest::Get;
using nettest::Iface;
using nettest::SocketSpy;
using nettest::SpyState;

TEST(OutcomeAfterServerTest, Table) {
    const struct {
        int result;
        int32_t before;
        int32_t after;
    } cases[] = {
        {0, OUTCOME_NONE, OUTCOME_NO_DEVICE},
        {REQ_OLD_VERSION, OUTCOME_NONE, OUTCOME_OLD_VERSION},
        {REQ_CHECKSUM_ERROR, OUTCOME_NONE, OUTCOME_FAILED},
        {REQ_UPGRADE_COMPLETED, OUTCOME_NONE, OUTCOME_COMPLETED},
        {REQ_LIST, OUTCOME_NONE, OUTCOME_FAILED},
        {REQ_UPGRADE_COMPLETED, OUTCOME_NO_DEVICE, OUTCOME_COMPLETED},  // a mapped result overwrites
        {1, OUTCOME_NONE, OUTCOME_NONE},
        {REQ_ERASE_START, OUTCOME_NONE, OUTCOME_NONE},
        {REQ_WROTE, OUTCOME_FAILED, OUTCOME_FAILED},  // an unmapped one leaves the watchdog's
        {-1, OUTCOME_NO_DEVICE, OUTCOME_NO_DEVICE},
        {REQ_IMAGE_MTD3, OUTCOME_NONE, OUTCOME_NONE},
        {1000, OUTCOME_COMPLETED, OUTCOME_COMPLETED},
    };
    for (const auto& c : cases) EXPECT_EQ(OutcomeAfterServer(c.result, c.before), c.after) << c.result;
}

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SockStartup(), 1);
        m_spy = std::make_unique<SocketSpy>();
        m_spy->With([](SpyState& s) {
            s.interfaces = {
                Iface(MakeIPv4(10, 0, 0, 2), MakeIPv4(255, 255, 255, 0), IFACE_UP | IFACE_BROADCAST)};
        });
        g_update_outcome = OUTCOME_NONE;
        g_device_report = 0;
        SetImage(1, 484);
        SetImage(2, 20000);
        SetImage(3, 9000);
    }
    void TearDown() override {
        EXPECT_TRUE(WaitForWorkerEnd(10000)) << "a worker outlived its test";
        m_spy.reset();
        for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
            g_image_data[i] = nullptr;
            g_image_sizes[i] = 0;
        }
        g_update_outcome = OUTCOME_NONE;
        SockCleanup();
    }
    void SetImage(int slot, size_t size) {
        m_images[slot].assign(size, static_cast<unsigned char>(slot + 1));
        g_image_data[slot] = m_images[slot].data();
        g_image_sizes[slot] = static_cast<uint32_t>(size);
    }
    static void StartWorker() { ASSERT_TRUE(StartDetachedThread(UpdateWorker, nullptr)); }
    // The run seen listening ends by itself (WaitForWorkerEnd would stop it): the worker
    // counts itself out last, after it has published the outcome; then its thread returns.
    static bool RunEnds(long long ms = 5000) {
        return Eventually([] { return g_worker_active.load() == 0; }, ms) && WaitForWorkerEnd(2000);
    }

    // The port the latest announcement names, after at least `count` announcements.
    uint16_t AnnouncedPort(size_t count = 1) {
        uint16_t port = 0;
        EXPECT_TRUE(Eventually([&] {
            const auto sent = m_spy->Datagrams();
            if (sent.size() < count) return false;
            const std::string& text = sent.back().bytes;
            const std::string prefix = "ZID-FWTools 1.0\r\nHOST:http://10.0.0.2:";
            if (text.compare(0, prefix.size(), prefix) != 0) return false;
            port = static_cast<uint16_t>(std::stoul(text.substr(prefix.size())));
            return true;
        }));
        return port;
    }
    // The server of the current run is listening on the announced port.
    uint16_t Listening(size_t count = 1) {
        const uint16_t port = AnnouncedPort(count);
        EXPECT_TRUE(Eventually([] { return g_server.listen_socket.load() != SOCKET_NONE; }));
        return port;
    }

    // A device that fetches the manifest and every listed image, with its progress reports.
    static void UpdateFromManifest(uint16_t port) {
        const std::string reply = Fetch(port, Get("/list.lst"));
        const size_t body = reply.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos) << reply;
        std::istringstream manifest(reply.substr(body + 4));
        std::string line;
        std::getline(manifest, line);
        EXPECT_EQ(line, "ZID2020 4\r");
        while (std::getline(manifest, line)) {
            const size_t at = line.find("/dev/mtd/");
            ASSERT_NE(at, std::string::npos);
            const std::string path = line.substr(at, 10);
            EXPECT_EQ(Fetch(port, "GET /erase%20start HTTP/1.0\r\n\r\n"), "");
            EXPECT_EQ(Fetch(port, "GET /erase%20finish HTTP/1.0\r\n\r\n"), "");
            const std::string image = Fetch(port, Get(path));
            EXPECT_EQ(image.substr(0, 17), "HTTP/1.0 200 OK\r\n") << path;
            EXPECT_EQ(Fetch(port, "GET /writing%20" + path.substr(9) + " HTTP/1.0\r\n\r\n"), "");
            EXPECT_EQ(Fetch(port, "GET /wrote%20" + path.substr(9) + " HTTP/1.0\r\n\r\n"), "");
        }
    }

    std::unique_ptr<SocketSpy> m_spy;
    std::vector<unsigned char> m_images[IMAGE_SLOT_COUNT];
};

TEST_F(WorkerTest, AWholeRunWithADeviceEndsCompleted) {
    StartWorker();
    const uint16_t port = Listening();
    EXPECT_EQ(g_worker_active, 1);
    EXPECT_EQ(port, g_server_port.load());
    const size_t announced = m_spy->Datagrams().size();
    EXPECT_GE(announced, 1u);
    UpdateFromManifest(port);
    EXPECT_EQ(m_spy->Datagrams().size(), announced) << "the manifest fetch stopped the announcements";
    EXPECT_EQ(g_update_outcome, OUTCOME_NONE);
    EXPECT_EQ(Fetch(port, Get("/Upgrade%20completed")), "");
    ASSERT_TRUE(RunEnds());
    EXPECT_EQ(g_update_outcome, OUTCOME_COMPLETED);
    EXPECT_EQ(g_server.state, TS_STOPPED);
    EXPECT_EQ(g_server.listen_socket, SOCKET_NONE);
    EXPECT_EQ(g_announcer.udp_socket, SOCKET_NONE);
    EXPECT_EQ(g_unsent_images, 0u);
}

TEST_F(WorkerTest, TheServerListensBeforeTheFirstAnnouncement) {
    // The first announcement goes out as the announcer starts; a device that answers it at
    // once must find the server listening, not a refused connection.
    m_spy->With([](SpyState& st) { st.listen_delay_ms = 300; });
    StartWorker();
    const uint16_t port = Listening();
    const auto datagrams = m_spy->Datagrams();
    ASSERT_GE(datagrams.size(), 1u);
    EXPECT_TRUE(datagrams.front().server_listening);
    EXPECT_NE(port, 0);
    StopUpdateRunNetwork();
    ASSERT_TRUE(RunEnds(2000));
}

// The outcome rule: completed only on the pinned device's completion report once every
// image of the manifest has gone out; a loop that ends any other way gives failed once the
// manifest went out, no device before.
TEST_F(WorkerTest, TheResultOfTheServerBecomesTheOutcome) {
    enum End { BY_REPORT, LISTENER_DIES, ACCEPT_UNUSABLE };
    const struct {
        const char* name;
        bool list;
        bool fetch_images;
        const char* report;  // the device's last report, or null
        End end;
        int32_t before;  // as if the watchdog had stored it meanwhile
        int32_t after;
    } cases[] = {
        {"checksum error", true, false, "/checksum%20error", BY_REPORT, OUTCOME_NONE, OUTCOME_FAILED},
        {"old version", true, false, "/can%20not%20use%20the%20old%20version", BY_REPORT, OUTCOME_NONE,
         OUTCOME_OLD_VERSION},
        {"completed overwrites the watchdog", true, true, "/Upgrade%20completed", BY_REPORT, OUTCOME_FAILED,
         OUTCOME_COMPLETED},
        {"completed early, then the listener dies", true, false, "/Upgrade%20completed", LISTENER_DIES,
         OUTCOME_NONE, OUTCOME_FAILED},
        {"completed early, then accepting fails", true, false, "/Upgrade%20completed", ACCEPT_UNUSABLE,
         OUTCOME_NONE, OUTCOME_FAILED},
        {"progress after the manifest", true, false, "/wrote%20", LISTENER_DIES, OUTCOME_NONE,
         OUTCOME_FAILED},
        {"the manifest alone", true, false, nullptr, LISTENER_DIES, OUTCOME_NONE, OUTCOME_FAILED},
        {"progress before any manifest", false, false, "/wrote%20", LISTENER_DIES, OUTCOME_NONE,
         OUTCOME_NO_DEVICE},
        {"no request at all", false, false, nullptr, ACCEPT_UNUSABLE, OUTCOME_NONE, OUTCOME_NO_DEVICE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_spy->With([](SpyState& s) {
            s.dead_socket = SOCKET_NONE;
            s.datagrams.clear();
        });
        g_update_outcome = OUTCOME_NONE;
        StartWorker();
        const uint16_t port = Listening();
        if (c.fetch_images) {
            UpdateFromManifest(port);
        } else if (c.list) {
            ASSERT_NE(Fetch(port, Get("/list.lst")), "");
        }
        g_update_outcome = c.before;
        if (c.report != nullptr) {
            EXPECT_EQ(Fetch(port, Get(c.report)), "");
        }
        const SocketHandle listener = g_server.listen_socket;
        if (c.end == LISTENER_DIES) {
            m_spy->With([&](SpyState& s) { s.dead_socket = listener; });
            WakeServer();  // its next wait finds the socket dead
        } else if (c.end == ACCEPT_UNUSABLE) {
            m_spy->With([](SpyState& s) { s.accept_failures = {ACCEPT_LISTENER_UNUSABLE}; });
            Fetch(port, "");
        }
        ASSERT_TRUE(RunEnds());
        EXPECT_EQ(g_update_outcome, c.after);
        EXPECT_EQ(g_worker_active, 0);
    }
}

TEST_F(WorkerTest, AnAnnouncerThatCannotStartGivesNoDeviceWithoutAServer) {
    const SocketHandle other = SockUdp();
    ASSERT_EQ(SockBind(other, IPV4_ANY, DISCOVERY_PORT), 0);
    StartWorker();
    ASSERT_TRUE(Eventually([] { return g_update_outcome.load() == OUTCOME_NO_DEVICE; }));
    ASSERT_TRUE(WaitForWorkerEnd(2000));
    SockClose(other);
    EXPECT_EQ(g_update_outcome, OUTCOME_NO_DEVICE);
    EXPECT_EQ(g_worker_active, 0);
    int accepts = 0;
    m_spy->With([&](SpyState& s) { accepts = s.accept_calls; });
    EXPECT_EQ(accepts, 0);
    EXPECT_EQ(g_server.listen_socket, SOCKET_NONE);
    EXPECT_EQ(Fetch(g_server_port, Get("/list.lst")), "<no connection>") << "no server was started";
    EXPECT_TRUE(m_spy->Datagrams().empty());
}

TEST_F(WorkerTest, NoListeningSocketGivesNoDeviceAndStopsTheAnnouncer) {
    m_spy->With([](SpyState& s) { s.listen_fails = true; });
    StartWorker();
    ASSERT_TRUE(Eventually([] { return g_update_outcome.load() == OUTCOME_NO_DEVICE; }));
    ASSERT_TRUE(WaitForWorkerEnd(2000));
    EXPECT_EQ(g_update_outcome, OUTCOME_NO_DEVICE);
    EXPECT_EQ(g_announcer.udp_socket, SOCKET_NONE);
    EXPECT_TRUE(WaitForAnnouncerEnd(0));
}

TEST_F(WorkerTest, AStoppedRunEndsPromptlyAndLeavesTheOutcomeToTheWindow) {
    for (bool after_manifest : {false, true}) {
        SCOPED_TRACE(after_manifest ? "after the manifest" : "waiting for the device");
        StartWorker();
        const uint16_t port = Listening();
        if (after_manifest) {
            ASSERT_NE(Fetch(port, Get("/list.lst")), "");
        }
        const size_t announced = m_spy->Datagrams().size();
        const long long start = MonotonicMs();
        StopUpdateRunNetwork();
        EXPECT_LT(MonotonicMs() - start, 1000) << "the stop waits at most about half a second";
        ASSERT_TRUE(RunEnds(2000)) << "the worker ends within about a second";
        EXPECT_LT(MonotonicMs() - start, 2000);
        EXPECT_EQ(g_worker_active, 0);
        EXPECT_EQ(g_update_outcome, OUTCOME_NONE) << "a late result would show up in the next run";
        EXPECT_EQ(g_server.state, TS_STOPPED);
        EXPECT_EQ(m_spy->Datagrams().size(), announced);
        const SocketHandle probe = SockTcp();
        EXPECT_EQ(SockBind(probe, IPV4_ANY, port), 0) << "the listening socket is closed";
        SockClose(probe);
    }
}

TEST_F(WorkerTest, StoppingWithoutAnActiveWorkerTouchesNothing) {
    ASSERT_EQ(g_worker_active, 0);
    g_server.state = TS_RUNNING;
    g_announcer.state = TS_RUNNING;
    const long long start = MonotonicMs();
    StopUpdateRunNetwork();
    EXPECT_LT(MonotonicMs() - start, 100);
    EXPECT_EQ(g_server.state, TS_RUNNING);
    EXPECT_EQ(g_announcer.state, TS_RUNNING);
    g_server.state = TS_STOPPED;
    g_announcer.state = TS_STOPPED;
}

TEST_F(WorkerTest, TwoRunsInARowDoNotInterfere) {
    StartWorker();
    Listening();
    StopUpdateRunNetwork();
    // The window enables Update again at once; the next worker starts while the first may
    // still be on its way out.
    m_spy->With([](SpyState& s) { s.datagrams.clear(); });
    StartWorker();
    const uint16_t port = Listening();
    EXPECT_TRUE(
        Eventually([] { return g_worker_active.load() == 1 && g_server.state.load() == TS_RUNNING; }));
    SleepMs(300);  // the first worker is gone by now; it must not have disturbed the second
    EXPECT_EQ(g_worker_active, 1);
    EXPECT_EQ(g_server.state, TS_RUNNING);
    EXPECT_EQ(g_update_outcome, OUTCOME_NONE);
    UpdateFromManifest(port);
    EXPECT_EQ(Fetch(port, Get("/Upgrade%20completed")), "");
    ASSERT_TRUE(RunEnds());
    EXPECT_EQ(g_update_outcome, OUTCOME_COMPLETED);
    EXPECT_EQ(g_worker_active, 0);
}

TEST_F(WorkerTest, ANewWorkerWaitsForTheLastRunToEnd) {
    StartWorker();
    const uint16_t first_port = Listening();
    const SocketHandle first_listener = g_server.listen_socket;
    StartWorker();  // the first run has not been stopped
    SleepMs(300);
    EXPECT_EQ(g_worker_active, 1) << "the second worker has not counted itself in";
    EXPECT_EQ(g_server.listen_socket, first_listener) << "nor reset the first run's server";
    ASSERT_NE(Fetch(first_port, Get("/list.lst")), "") << "the first run still serves";
    m_spy->With([](SpyState& s) { s.datagrams.clear(); });
    StopUpdateRunNetwork();
    // Now the second run begins, with its own announcer and server.
    const uint16_t port = Listening();
    EXPECT_TRUE(Eventually([] { return g_server.state.load() == TS_RUNNING; }));
    EXPECT_EQ(g_update_outcome, OUTCOME_NONE) << "the stopped first run published nothing";
    UpdateFromManifest(port);
    EXPECT_EQ(Fetch(port, Get("/Upgrade%20completed")), "");
    ASSERT_TRUE(RunEnds());
    EXPECT_EQ(g_update_outcome, OUTCOME_COMPLETED);
}

TEST_F(WorkerTest, ANewWorkerGivesUpWhenTheLastRunNeverEnds) {
    StartWorker();
    const uint16_t port = Listening();
    const SocketHandle listener = g_server.listen_socket;
    const long long start = MonotonicMs();
    StartWorker();
    ASSERT_TRUE(
        Eventually([] { return g_update_outcome.load() == OUTCOME_NO_DEVICE; }, PREVIOUS_RUN_WAIT_MS + 2000));
    EXPECT_GE(MonotonicMs() - start, static_cast<long long>(PREVIOUS_RUN_WAIT_MS) - 100);
    EXPECT_EQ(g_worker_active, 1) << "the first run's count is untouched";
    EXPECT_EQ(g_server.listen_socket, listener);
    EXPECT_NE(Fetch(port, Get("/list.lst")), "") << "and its server still answers";
    g_update_outcome = OUTCOME_NONE;
    StopUpdateRunNetwork();
}

TEST_F(WorkerTest, WaitForWorkerEndStopsARunNobodyStopped) {
    StartWorker();
    const uint16_t port = Listening();
    ASSERT_NE(Fetch(port, Get("/list.lst")), "");
    const long long start = MonotonicMs();
    ASSERT_TRUE(WaitForWorkerEnd(3000));
    EXPECT_LT(MonotonicMs() - start, 2000);
    EXPECT_EQ(g_worker_active, 0);
    EXPECT_TRUE(WaitForAnnouncerEnd(0)) << "the announcer thread is gone too";
    EXPECT_EQ(g_update_outcome, OUTCOME_NONE);
}

TEST_F(WorkerTest, WaitForWorkerEndWithNoWorkerReturnsAtOnce) {
    const long long start = MonotonicMs();
    EXPECT_TRUE(WaitForWorkerEnd(1000));
    EXPECT_LT(MonotonicMs() - start, 100);
}

}  // namespace
