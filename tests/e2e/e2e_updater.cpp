// The updater's side of the end-to-end runs, until the windowed program takes its place:
// loads the embedded images, starts one update run the way the Update button does, and
// plays the window's part while it lasts: it takes each report the server posts and waits
// for the outcome, which it prints as "outcome: NAME". The harness runs it only inside a
// network namespace of its own, since the run announces on every interface it finds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "images/image_store.h"
#include "platform/sockets.h"
#include "platform/threads.h"
#include "run/run_state.h"
#include "run/update_worker.h"

namespace {

const char* OutcomeName(int32_t outcome) {
    switch (outcome) {
        case OUTCOME_NONE: return "none";
        case OUTCOME_NO_DEVICE: return "no device";
        case OUTCOME_FAILED: return "failed";
        case OUTCOME_OLD_VERSION: return "old version";
        case OUTCOME_COMPLETED: return "completed";
    }
    return "unknown";
}

const char* ReportName(int32_t kind) {
    switch (kind) {
        case REQ_ERASE_START: return "erase start";
        case REQ_ERASE_FINISH: return "erase finish";
        case REQ_WRITING: return "writing";
        case REQ_WROTE: return "wrote";
        case REQ_LIST: return "manifest fetched";
    }
    return "unknown";
}

long long g_start_ms = 0;

void Step(const std::string& text) {
    std::printf("[%7.3f] %s\n", (MonotonicMs() - g_start_ms) / 1000.0, text.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    g_start_ms = MonotonicMs();
    unsigned timeout_ms = 60000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const double s = std::strtod(argv[++i], &end);
            if (end == nullptr || *end != '\0' || !(s > 0.0) || s > 3600.0) {
                std::fprintf(stderr, "orvane-e2e-updater: --timeout needs a number of seconds\n");
                return 2;
            }
            timeout_ms = static_cast<unsigned>(s * 1000.0);
        } else {
            std::printf(
                "Usage: orvane-e2e-updater [--timeout SECONDS]\n"
                "Runs one update run of the updater's network service (announcer and server) and\n"
                "prints \"outcome: NAME\" (none, no device, failed, old version, completed) once the\n"
                "run has one, or \"outcome: none\" after SECONDS (default 60).\n"
                "Exit codes: 0 an outcome was reached, 1 none within the time, 2 bad command line.\n"
                "Announces on every interface: run it only inside a network namespace made for a test.\n");
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }

    LoadImages();
    std::string slots = "images:";
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        slots += " /dev/mtd/" + std::to_string(i + 3) + " " +
                 (g_image_data[i] != nullptr ? std::to_string(g_image_sizes[i]) + " bytes" : "empty");
    }
    Step(slots);
    SockStartup();
    g_update_running = 1;
    if (!StartDetachedThread(UpdateWorker, nullptr)) {
        std::fprintf(stderr, "orvane-e2e-updater: the update worker did not start\n");
        return 2;
    }
    Step("update run started");

    bool port_shown = false;
    int32_t outcome = OUTCOME_NONE;
    while (MonotonicMs() - g_start_ms < timeout_ms) {
        SleepMs(20);
        if (!port_shown && g_server.state.load() == TS_RUNNING) {
            port_shown = true;
            Step("server running on TCP port " + std::to_string(g_server_port.load()));
        }
        // Taken and cleared as the window does; a report overwritten in between is lost
        // there too.
        const int32_t report = g_device_report.exchange(0);
        if (report != 0) Step(std::string("device report: ") + ReportName(report));
        outcome = g_update_outcome.load();
        if (outcome != OUTCOME_NONE) break;
    }
    Step(std::string("outcome: ") + OutcomeName(outcome));

    StopUpdateRunNetwork();
    const bool ended = WaitForWorkerEnd(5000);
    if (!ended) {
        Step("the update worker is still running 5 s after the stop");
    } else {
        SockCleanup();
        FreeImages();
    }
    return outcome != OUTCOME_NONE ? 0 : 1;
}
