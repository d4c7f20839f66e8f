#include "net/request_reader.h"

#include <cstring>

#include "run/run_state.h"

namespace {

bool IsSeparator(char c) { return static_cast<signed char>(c) <= 32; }

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

int IsBlankLine(const char* text) {
    return (text != nullptr && text[0] == '\r' && text[1] == '\n' && text[2] == '\0') ? 1 : 0;
}

char* NextToken(char** cursor) {
    if (cursor == nullptr || *cursor == nullptr || **cursor == '\0') return nullptr;
    char* p = *cursor;
    while (*p != '\0' && IsSeparator(*p)) ++p;
    char* const start = p;
    while (*p != '\0' && !IsSeparator(*p)) ++p;
    if (*p != '\0') {
        *p = '\0';
        ++p;  // past the separator just overwritten
    }
    // A token that ended at the text's own NUL leaves the cursor on it: stepping past it
    // would read beyond the text on the next call.
    *cursor = p;
    return start;
}

const char* FindNoCase(const char* text, const char* phrase) {
    if (text == nullptr || phrase == nullptr) return nullptr;
    if (*phrase == '\0') return text;
    for (const char* start = text; *start != '\0'; ++start) {
        const char* t = start;
        const char* f = phrase;
        while (*f != '\0' && *t != '\0' && Fold(*t) == Fold(*f)) {
            ++t;
            ++f;
        }
        if (*f == '\0') return start;
        if (*t == '\0') return nullptr;  // the rest of the text is shorter than the phrase
    }
    return nullptr;
}

int ClassifyPath(const char* path) {
    if (path == nullptr) return 0;
    if (std::strcmp(path, "/list.lst") == 0) return REQ_LIST;
    if (std::strncmp(path, "/dev/mtd/", 9) == 0) {
        // The tenth byte alone decides; whatever follows it is not looked at.
        const char digit = path[9];
        if (digit >= '3' && digit <= '6') return REQ_IMAGE_MTD3 + (digit - '3');
        return 0;
    }
    static const struct {
        const char* phrase;
        int kind;
    } kReports[] = {
        {"erase%20start", REQ_ERASE_START},
        {"erase%20finish", REQ_ERASE_FINISH},
        {"writing%20", REQ_WRITING},
        {"wrote%20", REQ_WROTE},
        {"can%20not%20use%20the%20old%20version", REQ_OLD_VERSION},
        {"checksum%20error", REQ_CHECKSUM_ERROR},
        {"Upgrade%20completed", REQ_UPGRADE_COMPLETED},
    };
    for (const auto& r : kReports) {
        if (FindNoCase(path, r.phrase) != nullptr) return r.kind;
    }
    return 0;
}

int ClassifyRequestLine(char* line) {
    if (line == nullptr) return 0;
    char* cursor = line;
    const char* method = NextToken(&cursor);
    const char* path = NextToken(&cursor);
    // The version, if any, is never looked at.
    if (method == nullptr || std::strcmp(method, "GET") != 0) return 0;
    if (path == nullptr) return 0;
    return ClassifyPath(path);
}

void RequestHead::Received(size_t n) { m_used += n < SpaceLeft() ? n : SpaceLeft(); }

void RequestHead::ReadHeaders() {
    if (m_phase == DECIDED) m_phase = HEADERS;
}

int RequestHead::NextLine() {
    const size_t available = m_used - m_parsed;
    const char* const start = m_bytes + m_parsed;
    // A line feed counts only within the first LINE_CAPACITY - 1 bytes; a line that has
    // none there is cut after them, and its rest is the next line.
    const size_t window = available < LINE_CAPACITY - 1 ? available : LINE_CAPACITY - 1;
    const void* const feed = std::memchr(start, '\n', window);
    size_t take;
    int count;
    if (feed != nullptr) {
        count = static_cast<int>(static_cast<const char*>(feed) - start);
        take = static_cast<size_t>(count) + 1;
    } else if (available >= LINE_CAPACITY - 1) {
        count = LINE_CAPACITY - 1;
        take = LINE_CAPACITY - 1;
    } else if (m_closed) {
        if (available == 0) return -2;
        count = static_cast<int>(available);  // the peer closed mid-line: what came is the line
        take = available;
    } else {
        return -1;
    }
    std::memcpy(m_line, start, take);
    m_line[take] = '\0';
    m_parsed += take;
    return count;
}

RequestHead::Status RequestHead::Parse() {
    while (m_final == NEED_MORE && (m_phase == REQUEST_LINE || m_phase == HEADERS)) {
        if (m_lines >= REQUEST_LINE_LIMIT) return m_final = REJECTED;
        const int count = NextLine();
        if (count == -1) {
            // Not whole yet; a head that has filled its whole area never will be.
            if (SpaceLeft() == 0) m_final = REJECTED;
            return m_final;
        }
        ++m_lines;
        // A line of no bytes (a line feed alone, or the end of the stream) ends the head
        // unanswered, before the request line as in the header.
        if (count <= 0) return m_final = REJECTED;
        if (m_phase == REQUEST_LINE) {
            if (IsBlankLine(m_line)) continue;  // blank lines before the request are skipped
            m_kind = ClassifyRequestLine(m_line);
            if (m_kind == 0) return m_final = REJECTED;
            m_phase = DECIDED;
            return REQUEST;
        }
        if (IsBlankLine(m_line)) {
            m_phase = DONE;
            return m_final = COMPLETE;
        }
    }
    return m_final;
}
