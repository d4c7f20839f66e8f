// What the receiver expects on the wire, as plain checks over bytes: the announcement
// datagram, the head of the updater's HTTP answers, the "/list.lst" manifest, and the
// requests the receiver sends. No sockets here, so that every rule can be tried on its own.
// Each check that fails says in *why what it found, in words a support engineer can act on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The announcement: "ZID-FWTools 1.0\r\n" then "HOST:http://%s:%d\r\n\r\n" with the PC's
// address and the server's port, no terminating NUL.
constexpr const char* ANNOUNCE_TAG_LINE = "ZID-FWTools 1.0\r\n";
constexpr const char* ANNOUNCE_HOST_PREFIX = "HOST:http://";

struct Announcement {
    uint32_t address = 0;  // network byte order
    uint16_t port = 0;
    std::string address_text;
};

bool ParseAnnouncement(const char* data, size_t len, Announcement* out, std::string* why);

// The manifest: "ZID2020 4\r\n", then one "%05lu /dev/mtd/%d\r\n" line per listed
// partition (3 to 6, ascending), CR LF everywhere, no blank line at the end.
constexpr const char* MANIFEST_HEADER = "ZID2020 4\r\n";
constexpr int FIRST_PARTITION = 3;
constexpr int LAST_PARTITION = 6;

struct ManifestEntry {
    uint32_t checksum = 0;
    int partition = 0;
};

bool ParseManifest(const std::string& body, std::vector<ManifestEntry>* out, std::string* why);

// The head of an answer: "HTTP/1.0 200 OK", then header lines up to a blank line, every line
// ended by CR LF. Content-Type, Content-Length and "Connection: close" must be there.
struct ResponseHead {
    std::string content_type;
    uint32_t content_length = 0;
    size_t head_bytes = 0;  // the status line, the headers and the blank line
};

enum class HeadStatus {
    COMPLETE,    // *out is filled
    INCOMPLETE,  // no blank line yet: more bytes are needed
    BAD,         // *why says what is wrong
};

// A head longer than this is refused: the updater composes its head in 1 KiB.
constexpr size_t MAX_HEAD_BYTES = 4096;

HeadStatus ParseResponseHead(const char* data, size_t len, ResponseHead* out, std::string* why);

// One request as the device sends it: HTTP/1.0, CR LF line ends, a Host line, a blank line.
std::string BuildRequest(const std::string& path, const std::string& host, uint16_t port);

// The paths of the device's reports. The report phrase is what the updater looks for; the
// partition after it tells a reader of the updater's log which image it was.
enum class Report {
    ERASE_START,
    ERASE_FINISH,
    WRITING,
    WROTE,
    OLD_VERSION,
    CHECKSUM_ERROR,
    COMPLETED,
};
std::string ReportPath(Report report, int partition);
// "erase start", "Upgrade completed", ...: the phrase as a person reads it.
const char* ReportName(Report report);

// "/dev/mtd/5"
std::string ImagePath(int partition);

// The bytes as readable text for a message: CR, LF and tab as \r \n \t, other control and
// non-ASCII bytes as \xNN, cut after max_bytes with "..." appended.
std::string Printable(const char* data, size_t len, size_t max_bytes = 80);
inline std::string Printable(const std::string& s, size_t max_bytes = 80) {
    return Printable(s.data(), s.size(), max_bytes);
}

// Dotted decimal as the updater must write it: four numbers 0 to 255 without leading zeros.
bool ParseStrictIPv4(const std::string& text, uint32_t* address);
// A decimal number without sign or leading zeros, 1 to 65535.
bool ParseStrictPort(const std::string& text, uint16_t* port);

}  // namespace sim
