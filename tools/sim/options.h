// The simulator's command line: where it listens, where it connects from, and which fault of
// a real receiver it plays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Exit codes, documented in --help. Support staff read them as: 0 the PC side is fine,
// 1 the PC side sent something wrong, 3 and 4 the PC and the device do not reach each other.
enum ExitCode {
    EXIT_OK = 0,               // the run went as asked and the updater behaved correctly
    EXIT_UPDATER_FAULT = 1,    // the updater sent or did something a receiver cannot accept
    EXIT_USAGE = 2,            // bad command line, or a fault mode that does not fit the manifest
    EXIT_NO_ANNOUNCEMENT = 3,  // no announcement arrived within --wait
    EXIT_UNREACHABLE = 4,      // the updater's server could not be reached, or stopped answering
    EXIT_LOCAL = 5,            // a given local address or port could not be bound
};

// Partition selector of the fault modes that act on one image: this partition, or the first
// one the manifest lists.
constexpr int FIRST_LISTED = -1;
constexpr int NO_PARTITION = 0;

struct Options {
    // Discovery: the UDP address and port to hear the announcement on.
    bool have_listen = false;
    uint32_t listen_address = 0;
    uint16_t listen_port = 20200;
    // Or no discovery: the updater's server given directly.
    bool have_server = false;
    uint32_t server_address = 0;
    uint16_t server_port = 0;
    // The local address the device's connections come from (none: the system's choice).
    bool have_source = false;
    uint32_t source_address = 0;
    bool have_expect_host = false;
    uint32_t expect_host = 0;
    bool discover_only = false;
    unsigned wait_ms = 200000;
    unsigned timeout_ms = 15000;

    // Fault modes.
    int checksum_error = NO_PARTITION;
    bool old_version = false;
    bool silent_after_manifest = false;
    unsigned silent_ms = 330000;
    int vanish = NO_PARTITION;
    bool retry = true;
    unsigned retry_after_ms = 1000;
    int fetch_twice = NO_PARTITION;
    unsigned slow_ms = 0;
    bool have_forge = false;
    uint32_t forge_address = 0;

    bool help = false;
    bool version = false;
};

// Parses argv[1..]. On failure returns false with the reason in *why.
bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* why);

// The --help text.
std::string HelpText();

constexpr const char* SIM_NAME = "orvane-m1-sim";
constexpr const char* SIM_VERSION = "1.0";

}  // namespace sim
