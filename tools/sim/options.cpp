#include "tools/sim/options.h"

#include <cstdlib>

#include "tools/sim/protocol.h"

namespace sim {

namespace {

bool Fail(std::string* why, const std::string& text) {
    if (why != nullptr) *why = text;
    return false;
}

// "1.5" seconds as milliseconds; at most a day.
bool ParseSeconds(const std::string& text, unsigned* ms) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !(v >= 0.0) || v > 86400.0) return false;
    *ms = static_cast<unsigned>(v * 1000.0 + 0.5);
    return true;
}

bool ParsePartition(const std::string& text, int* partition) {
    if (text.size() != 1 || text[0] < '0' + FIRST_PARTITION || text[0] > '0' + LAST_PARTITION) return false;
    *partition = text[0] - '0';
    return true;
}

// ADDR or ADDR:PORT. Without a port the default in *port stays. A listening endpoint may
// give port 0 (the system chooses one; the tests use that); a server endpoint needs a port.
bool ParseEndpoint(const std::string& text, bool need_port, uint32_t* address, uint16_t* port) {
    const size_t colon = text.find(':');
    const std::string host = text.substr(0, colon);
    if (!ParseStrictIPv4(host, address)) return false;
    if (colon == std::string::npos) return !need_port;
    const std::string p = text.substr(colon + 1);
    if (p == "0") {
        if (need_port) return false;
        *port = 0;
        return true;
    }
    return ParseStrictPort(p, port);
}

}  // namespace

std::string HelpText() {
    return R"(Usage: orvane-m1-sim --listen ADDR[:PORT] [options]
       orvane-m1-sim --server ADDR:PORT [options]

Plays the Orvane M1 receiver's side of a firmware update, to tell a PC problem from a
device problem. It waits for the updater's announcement on UDP, connects to the server
it names, fetches and checks the manifest "/list.lst" and every listed image (status
line, Content-Type, Content-Length, the BSD checksum against the manifest), sends the
progress reports a writing device sends (erase start, erase finish, writing, wrote) and
the final report, and then checks that the updater ended its run. Every request is
HTTP/1.0 with CR LF line ends and a blank line, as the receiver sends it.

Each step is printed on standard output with the seconds since the start. Whatever is
wrong in what the updater sends is said in one line on standard error, and the exit
code tells what kind of problem it was.

The simulator never announces or broadcasts anything; it binds only the addresses given
here.

Where to listen and connect:
  --listen ADDR[:PORT]   hear the announcement on this UDP address (port 20200 unless
                         given). A broadcast reaches only a socket bound to 0.0.0.0 or
                         to the network's broadcast address (such as 192.168.1.255).
  --server ADDR:PORT     skip the announcement and use this updater server directly.
  --source ADDR          make every connection of the device from this local address
                         (default: the system's choice).
  --wait SECONDS         how long to wait for the announcement (default 200; the updater
                         announces every 3 seconds for about 180 seconds).
  --timeout SECONDS      how long the updater may stay silent while it answers a
                         request (default 15); also how long the first connection is
                         tried again when the updater refuses it.
  --expect-host ADDR     fail unless the announcement names this address.
  --discover-only        stop after a correct announcement; connect to nothing.

Fault modes (at most one at a time; --slow goes with any):
  --checksum-error[=N]   after fetching the image of /dev/mtd/N (default: the first
                         listed), report "checksum%20error" as a device whose check
                         failed. The updater must end its run as failed.
  --old-version          after the manifest, report
                         "can%20not%20use%20the%20old%20version". The updater must end
                         its run.
  --silent-after-manifest[=SECONDS]
                         fetch the manifest, then send nothing more for SECONDS (default
                         330, beyond the updater's 300-second silence time-out) and leave.
  --vanish[=N]           close the connection abruptly halfway through the image of
                         /dev/mtd/N (default: the first listed), as a device that lost
                         power; then come back after --retry-after and start over from
                         the manifest, which must then complete.
  --no-retry             with --vanish: do not come back.
  --retry-after SECONDS  with --vanish: the pause before coming back (default 1).
  --fetch-twice[=N]      fetch the image of /dev/mtd/N (default: the first listed) twice,
                         as a device that retries a fetch. The updater must serve it again
                         and still end its run on the completion report.
  --slow SECONDS         wait this long before each report, as a device that writes
                         slowly (default 0).
  --forge-from ADDR      play a second host at this local address: right after the
                         manifest it requests the manifest and an image, and once every
                         image is served it sends each final report (checksum error, old
                         version, completed). The updater must leave the requests
                         unanswered and must not end its run on any forged report; the
                         real device then completes the update.

Other:
  --help                 this text.
  --version              the simulator's version.

Exit codes:
  0  the run went as asked and the updater behaved as a receiver expects.
  1  the updater sent something wrong or reacted wrongly: a malformed announcement,
     manifest or answer, a checksum that does not match, an answer where none belongs,
     or a run that did not end (or ended) after the final report.
  2  bad command line, or a fault mode that does not fit the manifest.
  3  no announcement arrived within --wait: is the updater running and waiting for the
     device, and is this host on the same network?
  4  the updater's server could not be reached or stopped answering: connection refused
     or broken, or no answer within --timeout (a firewall on the PC?).
  5  a given local address or port could not be bound (in use, or not an address of
     this host).
)";
}

bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* why) {
    Options o;
    int faults = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const bool has_inline = eq != std::string::npos;
        const std::string inline_value = has_inline ? arg.substr(eq + 1) : "";
        // The value of an option that needs one: after '=' or as the next argument.
        auto value = [&](std::string* v) {
            if (has_inline) {
                *v = inline_value;
                return true;
            }
            if (i + 1 >= args.size()) return false;
            *v = args[++i];
            return true;
        };
        auto no_value = [&]() { return !has_inline; };
        std::string v;
        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--version") {
            o.version = true;
        } else if (name == "--listen") {
            if (!value(&v) || !ParseEndpoint(v, false, &o.listen_address, &o.listen_port)) {
                return Fail(why, "--listen needs ADDR or ADDR:PORT, such as 0.0.0.0 or 10.231.0.255:20200");
            }
            o.have_listen = true;
        } else if (name == "--server") {
            if (!value(&v) || !ParseEndpoint(v, true, &o.server_address, &o.server_port)) {
                return Fail(why, "--server needs ADDR:PORT, such as 192.168.1.10:20200");
            }
            o.have_server = true;
        } else if (name == "--source") {
            if (!value(&v) || !ParseStrictIPv4(v, &o.source_address)) {
                return Fail(why, "--source needs a local IPv4 address");
            }
            o.have_source = true;
        } else if (name == "--expect-host") {
            if (!value(&v) || !ParseStrictIPv4(v, &o.expect_host)) {
                return Fail(why, "--expect-host needs an IPv4 address");
            }
            o.have_expect_host = true;
        } else if (name == "--wait") {
            if (!value(&v) || !ParseSeconds(v, &o.wait_ms))
                return Fail(why, "--wait needs a number of seconds");
        } else if (name == "--timeout") {
            if (!value(&v) || !ParseSeconds(v, &o.timeout_ms) || o.timeout_ms == 0) {
                return Fail(why, "--timeout needs a number of seconds above 0");
            }
        } else if (name == "--discover-only" && no_value()) {
            o.discover_only = true;
        } else if (name == "--checksum-error") {
            if (has_inline && !ParsePartition(inline_value, &o.checksum_error)) {
                return Fail(why, "--checksum-error=N needs a partition from 3 to 6");
            }
            if (!has_inline) o.checksum_error = FIRST_LISTED;
            ++faults;
        } else if (name == "--old-version" && no_value()) {
            o.old_version = true;
            ++faults;
        } else if (name == "--silent-after-manifest") {
            if (has_inline && !ParseSeconds(inline_value, &o.silent_ms)) {
                return Fail(why, "--silent-after-manifest=SECONDS needs a number of seconds");
            }
            o.silent_after_manifest = true;
            ++faults;
        } else if (name == "--vanish") {
            if (has_inline && !ParsePartition(inline_value, &o.vanish)) {
                return Fail(why, "--vanish=N needs a partition from 3 to 6");
            }
            if (!has_inline) o.vanish = FIRST_LISTED;
            ++faults;
        } else if (name == "--no-retry" && no_value()) {
            o.retry = false;
        } else if (name == "--retry-after") {
            if (!value(&v) || !ParseSeconds(v, &o.retry_after_ms)) {
                return Fail(why, "--retry-after needs a number of seconds");
            }
        } else if (name == "--fetch-twice") {
            if (has_inline && !ParsePartition(inline_value, &o.fetch_twice)) {
                return Fail(why, "--fetch-twice=N needs a partition from 3 to 6");
            }
            if (!has_inline) o.fetch_twice = FIRST_LISTED;
            ++faults;
        } else if (name == "--slow") {
            if (!value(&v) || !ParseSeconds(v, &o.slow_ms))
                return Fail(why, "--slow needs a number of seconds");
        } else if (name == "--forge-from") {
            if (!value(&v) || !ParseStrictIPv4(v, &o.forge_address)) {
                return Fail(why, "--forge-from needs a second local IPv4 address");
            }
            o.have_forge = true;
            ++faults;
        } else {
            return Fail(why, "unknown option " + Printable(arg) + " (see --help)");
        }
    }
    if (!o.help && !o.version) {
        if (o.have_listen == o.have_server) {
            return Fail(why, o.have_listen
                                 ? "give either --listen or --server, not both"
                                 : "give --listen ADDR to hear the updater's announcement, or --server "
                                   "ADDR:PORT (see --help)");
        }
        if (faults > 1) return Fail(why, "give at most one fault mode at a time");
        if (o.discover_only && (o.have_server || faults > 0)) {
            return Fail(why, "--discover-only goes only with --listen and no fault mode");
        }
        if (o.have_expect_host && !o.have_listen) return Fail(why, "--expect-host needs --listen");
        if (!o.retry && o.vanish == NO_PARTITION) return Fail(why, "--no-retry goes only with --vanish");
        if (o.have_forge && o.have_source && o.forge_address == o.source_address) {
            return Fail(why, "--forge-from must differ from --source");
        }
    }
    *out = o;
    return true;
}

}  // namespace sim
