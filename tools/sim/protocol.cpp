#include "tools/sim/protocol.h"

#include <cstdio>
#include <cstring>

#include "platform/sockets.h"

namespace sim {

namespace {

bool Fail(std::string* why, const std::string& text) {
    if (why != nullptr) *why = text;
    return false;
}

HeadStatus Bad(std::string* why, const std::string& text) {
    if (why != nullptr) *why = text;
    return HeadStatus::BAD;
}

bool AllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return s;
}

std::string Quoted(const std::string& s) { return "\"" + Printable(s) + "\""; }

// The line that starts at pos, up to and including its LF (or to the end of the text).
std::string LineAt(const std::string& text, size_t pos) {
    const size_t nl = text.find('\n', pos);
    return text.substr(pos, nl == std::string::npos ? std::string::npos : nl + 1 - pos);
}

}  // namespace

std::string Printable(const char* data, size_t len, size_t max_bytes) {
    std::string out;
    const size_t n = len < max_bytes ? len : max_bytes;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (len > max_bytes) out += "...";
    return out;
}

bool ParseStrictIPv4(const std::string& text, uint32_t* address) {
    unsigned parts[4];
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? text.find('.', pos) : text.size();
        if (dot == std::string::npos) return false;
        const std::string part = text.substr(pos, dot - pos);
        if (!AllDigits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
        parts[i] = static_cast<unsigned>(std::stoul(part));
        if (parts[i] > 255) return false;
        pos = dot + 1;
    }
    if (address != nullptr) *address = MakeIPv4(parts[0], parts[1], parts[2], parts[3]);
    return true;
}

bool ParseStrictPort(const std::string& text, uint16_t* port) {
    if (!AllDigits(text) || text.size() > 5 || text[0] == '0') return false;
    const unsigned long v = std::stoul(text);
    if (v > 65535) return false;
    if (port != nullptr) *port = static_cast<uint16_t>(v);
    return true;
}

bool ParseAnnouncement(const char* data, size_t len, Announcement* out, std::string* why) {
    const std::string s(data, len);
    const std::string tag = ANNOUNCE_TAG_LINE;
    if (s.empty()) return Fail(why, "the announcement is empty");
    if (s.back() == '\0') {
        return Fail(why, "the announcement ends with a NUL byte; the datagram must carry the text alone");
    }
    if (s.compare(0, tag.size(), tag) != 0) {
        const std::string first = LineAt(s, 0);
        if (first == "ZID-FWTools 1.0\n") {
            return Fail(why, "the first line of the announcement ends with LF alone; CR LF expected");
        }
        if (first.compare(0, 12, "ZID-FWTools ") == 0) {
            return Fail(why, "the announcement gives the version line " + Quoted(first) +
                                 "; this device understands only " + Quoted(tag));
        }
        return Fail(why,
                    "the announcement does not start with " + Quoted(tag) + ": it starts " + Quoted(first));
    }
    const std::string rest = s.substr(tag.size());
    const std::string prefix = ANNOUNCE_HOST_PREFIX;
    if (rest.compare(0, prefix.size(), prefix) != 0) {
        return Fail(why, "the second line of the announcement does not start with " + Quoted(prefix) +
                             ": it is " + Quoted(LineAt(rest, 0)));
    }
    const std::string tail = rest.substr(prefix.size());
    const size_t end = tail.find("\r\n\r\n");
    if (end == std::string::npos) {
        return Fail(
            why, "the HOST line must end with CR LF and a blank line (\\r\\n\\r\\n); the announcement ends " +
                     Quoted(tail.size() > 8 ? tail.substr(tail.size() - 8) : tail));
    }
    if (end + 4 != tail.size()) {
        return Fail(why, std::to_string(tail.size() - end - 4) +
                             " bytes follow the blank line that ends the announcement: " +
                             Quoted(tail.substr(end + 4)));
    }
    const std::string hostport = tail.substr(0, end);
    const size_t colon = hostport.rfind(':');
    if (colon == std::string::npos) {
        return Fail(why, "the HOST line names no port: " + Quoted(hostport));
    }
    const std::string host = hostport.substr(0, colon);
    const std::string port_text = hostport.substr(colon + 1);
    uint32_t address = 0;
    if (!ParseStrictIPv4(host, &address)) {
        return Fail(why, "the announced address " + Quoted(host) +
                             " is not an IPv4 address in dotted decimal without leading zeros");
    }
    if (address == IPV4_ANY || address == 0xFFFFFFFFu) {
        return Fail(why, "the announced address " + host + " is not one a device can connect to");
    }
    if (port_text == "0") {
        return Fail(why, "the announcement names port 0: the updater found no port for its server");
    }
    uint16_t port = 0;
    if (!ParseStrictPort(port_text, &port)) {
        return Fail(why, "the announced port " + Quoted(port_text) +
                             " is not a number from 1 to 65535 without leading zeros");
    }
    if (out != nullptr) {
        out->address = address;
        out->port = port;
        out->address_text = host;
    }
    return true;
}

bool ParseManifest(const std::string& body, std::vector<ManifestEntry>* out, std::string* why) {
    const std::string header = MANIFEST_HEADER;
    if (body.empty()) return Fail(why, "the manifest is empty");
    if (body.compare(0, header.size(), header) != 0) {
        return Fail(why, "the manifest's first line is " + Quoted(LineAt(body, 0)) + ", expected " +
                             Quoted(header) + " (the number is always 4)");
    }
    std::vector<ManifestEntry> entries;
    size_t pos = header.size();
    int line_no = 2;
    int previous = 0;
    while (pos < body.size()) {
        const std::string line = LineAt(body, pos);
        const std::string where = "manifest line " + std::to_string(line_no);
        if (line.back() != '\n') return Fail(why, where + " " + Quoted(line) + " does not end with CR LF");
        if (line == "\r\n" || line == "\n") {
            return Fail(why, where + " is blank; the manifest must end right after its last entry");
        }
        if (line.size() < 2 || line[line.size() - 2] != '\r') {
            return Fail(why, where + " " + Quoted(line) + " ends with LF alone; CR LF expected");
        }
        const std::string text = line.substr(0, line.size() - 2);
        // "%05lu /dev/mtd/%d": five digits, a space, the device path with one digit.
        const bool shape = text.size() == 16 && AllDigits(text.substr(0, 5)) && text[5] == ' ' &&
                           text.compare(6, 9, "/dev/mtd/") == 0 && text[15] >= '0' && text[15] <= '9';
        if (!shape) {
            return Fail(why, where + " is " + Quoted(line) +
                                 ": expected five digits, a space and /dev/mtd/ with the partition");
        }
        ManifestEntry e;
        e.checksum = static_cast<uint32_t>(std::stoul(text.substr(0, 5)));
        e.partition = text[15] - '0';
        if (e.checksum > 65535) {
            return Fail(why, where + " gives the checksum " + text.substr(0, 5) + ", above 65535");
        }
        if (e.partition < FIRST_PARTITION || e.partition > LAST_PARTITION) {
            return Fail(why, where + " lists /dev/mtd/" + std::to_string(e.partition) +
                                 "; this device has partitions 3 to 6 only");
        }
        if (e.partition <= previous) {
            return Fail(why, where + " lists /dev/mtd/" + std::to_string(e.partition) + " after /dev/mtd/" +
                                 std::to_string(previous) +
                                 ": partitions must be in ascending order, each once");
        }
        previous = e.partition;
        entries.push_back(e);
        pos += line.size();
        ++line_no;
    }
    if (entries.empty())
        return Fail(why, "the manifest lists no partition: the updater carries no firmware image");
    if (out != nullptr) *out = entries;
    return true;
}

HeadStatus ParseResponseHead(const char* data, size_t len, ResponseHead* out, std::string* why) {
    const std::string s(data, len);
    const size_t end = s.find("\r\n\r\n");
    const size_t checked = end == std::string::npos ? s.size() : end + 4;
    for (size_t i = 0; i < checked; ++i) {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) {
            const size_t previous = i == 0 ? std::string::npos : s.rfind('\n', i - 1);
            const size_t from = previous == std::string::npos ? 0 : previous + 1;
            return Bad(why, "a line of the answer's head ends with LF alone, CR LF expected: " +
                                Quoted(s.substr(from, i + 1 - from)));
        }
    }
    if (end == std::string::npos) {
        if (s.size() > MAX_HEAD_BYTES) {
            return Bad(why, "the answer's head does not end (no blank line) within " +
                                std::to_string(MAX_HEAD_BYTES) + " bytes");
        }
        return HeadStatus::INCOMPLETE;
    }
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < end + 2;) {
        const size_t crlf = s.find("\r\n", pos);
        lines.push_back(s.substr(pos, crlf - pos));
        pos = crlf + 2;
    }
    if (lines[0] != "HTTP/1.0 200 OK") {
        return Bad(why, "the status line is " + Quoted(lines[0]) + ", expected \"HTTP/1.0 200 OK\"");
    }
    bool have_type = false;
    bool have_length = false;
    bool have_close = false;
    ResponseHead head;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            return Bad(why, "the header line " + Quoted(line) + " is not of the form \"Name: value\"");
        }
        const std::string name = Lower(line.substr(0, colon));
        size_t v = colon + 1;
        while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
        const std::string value = line.substr(v);
        if (name == "content-type") {
            if (have_type) return Bad(why, "the answer has two Content-Type lines");
            have_type = true;
            head.content_type = value;
        } else if (name == "content-length") {
            if (have_length) return Bad(why, "the answer has two Content-Length lines");
            have_length = true;
            if (!AllDigits(value) || value.size() > 10 || std::stoull(value) > 0xFFFFFFFFull) {
                return Bad(why, "the Content-Length " + Quoted(value) + " is not a byte count");
            }
            head.content_length = static_cast<uint32_t>(std::stoull(value));
        } else if (name == "connection") {
            if (Lower(value) != "close") {
                return Bad(why, "the answer says \"Connection: " + Printable(value) + "\"; expected close");
            }
            have_close = true;
        }
    }
    if (!have_type) return Bad(why, "the answer has no Content-Type line");
    if (!have_length) return Bad(why, "the answer has no Content-Length line");
    if (!have_close) return Bad(why, "the answer has no \"Connection: close\" line");
    head.head_bytes = end + 4;
    if (out != nullptr) *out = head;
    return HeadStatus::COMPLETE;
}

std::string BuildRequest(const std::string& path, const std::string& host, uint16_t port) {
    return "GET " + path + " HTTP/1.0\r\nHost: " + host + ":" + std::to_string(port) + "\r\n\r\n";
}

std::string ImagePath(int partition) { return "/dev/mtd/" + std::to_string(partition); }

std::string ReportPath(Report report, int partition) {
    // A partition suffix never comes first: a path that starts with /dev/mtd/ is an image
    // request to the updater, whatever follows.
    const std::string mtd = partition > 0 ? "mtd" + std::to_string(partition) : "";
    const std::string part = partition > 0 ? "%20" + mtd : "";
    switch (report) {
        case Report::ERASE_START: return "/erase%20start" + part;
        case Report::ERASE_FINISH: return "/erase%20finish" + part;
        case Report::WRITING: return "/writing%20" + mtd;
        case Report::WROTE: return "/wrote%20" + mtd;
        case Report::OLD_VERSION: return "/can%20not%20use%20the%20old%20version";
        case Report::CHECKSUM_ERROR: return "/checksum%20error" + part;
        case Report::COMPLETED: return "/Upgrade%20completed";
    }
    return "/";
}

const char* ReportName(Report report) {
    switch (report) {
        case Report::ERASE_START: return "erase start";
        case Report::ERASE_FINISH: return "erase finish";
        case Report::WRITING: return "writing";
        case Report::WROTE: return "wrote";
        case Report::OLD_VERSION: return "can not use the old version";
        case Report::CHECKSUM_ERROR: return "checksum error";
        case Report::COMPLETED: return "Upgrade completed";
    }
    return "?";
}

}  // namespace sim
