// What every window test sets up: the headless loop from zero, the run state as at process
// start, English (United States) texts, and recorders in place of everything the windows
// call outside themselves: the lock, the firewall and the worker through the services table,
// the socket library start and stop through the socket operations, the images through the
// resource lookup. No test here starts a real worker or touches a real network.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_services.h"
#include "images/image_store.h"
#include "platform/catalogue/catalogue_strings.h"
#include "platform/headless/headless.h"
#include "platform/resources.h"
#include "platform/sockets.h"
#include "res/catalogue/catalogue.h"
#include "run/run_state.h"

namespace apptest {

// Sizes of the shipped images by slot (slot 0 is a placeholder that is never loaded).
constexpr uint32_t kShippedSizes[IMAGE_SLOT_COUNT] = {1, 484, 1929216, 749568};

struct Record {
    std::vector<std::string> events;
    bool lock_available = true;
    bool worker_ends = true;
    // What the fake worker start does to the run state (a real worker counts itself in).
    int worker_active_on_start = 0;
    int lock_calls = 0;
    int activate_calls = 0;
    int open_firewall_calls = 0;
    int close_firewall_calls = 0;
    int worker_starts = 0;
    int stop_network_calls = 0;
    int wait_calls = 0;
    int socket_starts = 0;
    int socket_stops = 0;
    int image_lookups = 0;
    // Whether the image slots were still filled when the worker wait and the firewall
    // closing ran.
    bool images_loaded_at_wait = false;
    bool images_loaded_at_firewall_close = false;
    // Whether the main window had already been ended (a real one is hidden then) when the
    // teardown waited for the worker.
    bool window_ended_at_wait = false;
};

Record& Rec();
bool ImagesLoaded();
// Index of the first event with this name, or -1.
int EventIndex(const std::string& name);
int EventCount(const std::string& name);

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The text of a control of the open main window, or of the window title for id 0.
    static std::string Text(unsigned template_id, unsigned control_id);
    static bool Enabled(unsigned template_id, unsigned control_id);
    static std::string S(unsigned id) { return CatalogueText(LANG_ID_ENGLISH_US, id); }

private:
    AppServices m_saved_services{};
    SocketOps m_saved_ops{};
    ResourceLookupFn m_saved_lookup = nullptr;
};

}  // namespace apptest
