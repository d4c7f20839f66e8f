#include "app_fixture.h"

#include <algorithm>

namespace apptest {

namespace {

Record g_record;
std::vector<unsigned char> g_blobs[IMAGE_SLOT_COUNT];

void Log(const char* event) { g_record.events.push_back(event); }

bool FakeAcquire(const char* name) {
    EXPECT_STREQ(name, "Orvane_updater");
    ++g_record.lock_calls;
    Log("lock");
    return g_record.lock_available;
}
void FakeActivate(const char*) {
    ++g_record.activate_calls;
    Log("activate");
}
void FakeOpenFirewall(CFirewallOpening*& opening) {
    EXPECT_EQ(opening, nullptr);
    ++g_record.open_firewall_calls;
    Log("open firewall");
}
void FakeCloseFirewall(CFirewallOpening*&) {
    ++g_record.close_firewall_calls;
    g_record.images_loaded_at_firewall_close = ImagesLoaded();
    Log("close firewall");
}
void FakeStartWorker() {
    ++g_record.worker_starts;
    g_worker_active = g_record.worker_active_on_start;
    Log("start worker");
}
void FakeStopNetwork() {
    ++g_record.stop_network_calls;
    Log("stop network");
}
bool FakeWait(unsigned timeout_ms) {
    EXPECT_GE(timeout_ms, 1000u);
    EXPECT_LE(timeout_ms, 10000u);
    ++g_record.wait_calls;
    g_record.images_loaded_at_wait = ImagesLoaded();
    CDialog* main = headless::FindOpen(IDD_UPDATER);
    g_record.window_ended_at_wait = main != nullptr && headless::Ended(*main);
    Log("wait worker");
    if (g_record.worker_ends) g_worker_active = 0;
    return g_record.worker_ends;
}

// Count, then start and stop the platform's library for real (Winsock needs it for any
// socket a real worker opens).
int CountingStartup() {
    ++g_record.socket_starts;
    Log("start sockets");
    return SystemSocketOps().startup();
}
int CountingCleanup() {
    ++g_record.socket_stops;
    Log("stop sockets");
    return SystemSocketOps().cleanup();
}

bool FakeLookup(const char* type, unsigned id, ResourceBlob* out) {
    if (std::string(type) != IMAGE_RESOURCE_TYPE) return false;
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        if (g_image_ids[i] != id) continue;
        if (g_record.image_lookups++ == 0) Log("load images");
        out->data = g_blobs[i].data();
        out->size = g_blobs[i].size();
        return true;
    }
    return false;
}

}  // namespace

Record& Rec() { return g_record; }

bool ImagesLoaded() {
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i)
        if (g_image_data[i] != nullptr) return true;
    return false;
}

int EventIndex(const std::string& name) {
    auto it = std::find(g_record.events.begin(), g_record.events.end(), name);
    return it == g_record.events.end() ? -1 : static_cast<int>(it - g_record.events.begin());
}

int EventCount(const std::string& name) {
    return static_cast<int>(std::count(g_record.events.begin(), g_record.events.end(), name));
}

void AppTest::SetUp() {
    headless::Reset();
    g_record = Record();
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i)
        g_blobs[i].assign(kShippedSizes[i], static_cast<unsigned char>(i));
    FreeImages();
    g_timeout_ms = TIMEOUT_BEFORE_MANIFEST_MS;
    g_device_report = 0;
    g_update_running = 0;
    g_update_outcome = 0;
    g_idle_seconds = 0;
    g_worker_active = 0;
    g_progress_shown = 0;
    g_progress_max = 0;
    g_progress_pos = 0;
    SetCatalogueLanguage(LANG_ID_ENGLISH_US);

    AppServices services = SystemAppServices();
    services.acquire_instance_lock = FakeAcquire;
    services.activate_running_instance = FakeActivate;
    services.open_firewall = FakeOpenFirewall;
    services.close_firewall = FakeCloseFirewall;
    services.start_worker = FakeStartWorker;
    services.stop_network = FakeStopNetwork;
    services.wait_worker_end = FakeWait;
    m_saved_services = SetAppServices(services);

    SocketOps ops = SystemSocketOps();
    ops.startup = CountingStartup;
    ops.cleanup = CountingCleanup;
    m_saved_ops = SetSocketOps(ops);
    m_saved_lookup = SetResourceLookup(FakeLookup);
}

void AppTest::TearDown() {
    EXPECT_FALSE(headless::RanDry()) << "the script ran out while a window was still open";
    EXPECT_EQ(headless::StrayCalls(), 0) << "a window call went to a closed window or a missing control";
    EXPECT_EQ(headless::OpenCount(), 0);
    FreeImages();
    SetResourceLookup(m_saved_lookup);
    SetSocketOps(m_saved_ops);
    SetAppServices(m_saved_services);
    SetCatalogueLanguage(0);
    headless::Reset();
}

std::string AppTest::Text(unsigned template_id, unsigned control_id) {
    CDialog* d = headless::FindOpen(template_id);
    if (d == nullptr) return "<not open>";
    return control_id == 0 ? d->GetWindowText() : d->GetDlgItemText(control_id);
}

bool AppTest::Enabled(unsigned template_id, unsigned control_id) {
    CDialog* d = headless::FindOpen(template_id);
    return d != nullptr && d->IsDlgItemEnabled(control_id);
}

}  // namespace apptest
