#include "net/request_reader.h"

#include <cstring>

#include "run/run_state.h"

namespace {

// A stop is looked at this often while a line waits for its next byte.
constexpr long STOP_CHECK_US = 250000;

bool IsSeparator(char c) { return static_cast<signed char>(c) <= 32; }

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Waits for the next byte: the platform wait in one piece, or in slices with a look at the
// stop flag between them. The slices add up to the same time-out.
int WaitForByte(SocketHandle s, long seconds, long microseconds, const std::atomic<int32_t>* stop) {
    if (stop == nullptr) return WaitReadable(s, seconds, microseconds);
    long long left = static_cast<long long>(seconds) * 1000000 + microseconds;
    for (;;) {
        if (stop->load() != 0) return -1;
        const long long slice = left < STOP_CHECK_US ? left : STOP_CHECK_US;
        const int r = WaitReadable(s, static_cast<long>(slice / 1000000), static_cast<long>(slice % 1000000));
        if (r != 0) return r;
        left -= slice;
        if (left <= 0) return 0;
    }
}

int ReadContextLine(ServerContext* context) {
    return ReadLineUntilStopped(context->conn_socket, context->buffer, LINE_CAPACITY, READ_TIMEOUT_SECONDS, 0,
                                &context->stop_requested);
}

}  // namespace

int WaitReadable(SocketHandle s, long seconds, long microseconds) {
    return SockWaitReadable(s, seconds, microseconds);
}

int ReadLineUntilStopped(SocketHandle s, char* text, int capacity, long seconds, long microseconds,
                         const std::atomic<int32_t>* stop) {
    if (text == nullptr) return -1;
    if (capacity <= 1) {
        text[0] = '\0';
        return 0;
    }
    int count = 0;
    char* p = text;
    for (;;) {
        if (WaitForByte(s, seconds, microseconds, stop) <= 0) {
            *p = '\0';
            return -1;
        }
        char byte = 0;
        const int r = SockRecv(s, &byte, 1);
        if (r < 0) {
            *p = '\0';
            return -1;
        }
        if (r == 0) {
            *p = '\0';
            return count;
        }
        *p++ = byte;
        if (byte == '\n') {
            *p = '\0';
            return count;
        }
        if (++count >= capacity - 1) {
            *p = '\0';
            return count;
        }
    }
}

int ReadLine(SocketHandle s, char* text, int capacity, long seconds, long microseconds) {
    return ReadLineUntilStopped(s, text, capacity, seconds, microseconds, nullptr);
}

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

int ReadRequest(ServerContext* context) {
    if (context == nullptr) return 0;
    std::memset(context->buffer, 0, sizeof context->buffer);
    do {
        if (ReadContextLine(context) <= 0) return 0;
    } while (IsBlankLine(context->buffer));

    char* cursor = context->buffer;
    const char* method = NextToken(&cursor);
    const char* path = NextToken(&cursor);
    NextToken(&cursor);  // the version is never looked at
    if (method == nullptr || std::strcmp(method, "GET") != 0) return 0;
    if (path == nullptr) return 0;
    const int kind = ClassifyPath(path);
    if (kind == 0) return 0;
    context->request_kind = kind;
    return 1;
}

int SkipHeaderLines(ServerContext* context) {
    if (context == nullptr) return 0;
    std::memset(context->buffer, 0, sizeof context->buffer);
    for (;;) {
        if (ReadContextLine(context) <= 0) return 0;
        if (IsBlankLine(context->buffer)) return 1;
    }
}
