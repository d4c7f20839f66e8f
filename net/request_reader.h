// The request reader: takes the bytes of the device's HTTP request head as they arrive on a
// connection, cuts them into lines, and turns the request line's path into a RequestKind.
// It never touches a socket: the server feeds it whatever a receive brought, so that many
// connections can be read at once and no byte costs a system call of its own. Nothing is
// percent-decoded.
#pragma once

#include <cstddef>
#include <cstdint>

// Every line is cut after this many bytes less one: a longer line goes on as the next line.
constexpr int LINE_CAPACITY = 1024;
// A request head (blank lines before it, the request line and its header lines) must come
// whole within these limits; a peer that exceeds one is given up.
constexpr size_t REQUEST_HEAD_LIMIT = 8192;
constexpr int REQUEST_LINE_LIMIT = 100;
constexpr long long REQUEST_HEAD_TIMEOUT_MS = 10000;

// 1 when text is exactly CR LF, else 0 (also for a null text).
int IsBlankLine(const char* text);

// The next token of the text at *cursor, cut out in place, or null at the end. Separators
// are the bytes that are at most 32 taken as signed 8-bit numbers (controls, space, NUL and
// everything from 0x80 up). The cursor is left past the separator that ended the token, or
// on the text's terminating NUL, so that a further call returns null and never reads
// beyond the text.
char* NextToken(char** cursor);

// The first place in text where phrase occurs, ignoring the case of A to Z, or null. An
// empty phrase matches at the start.
const char* FindNoCase(const char* text, const char* phrase);

// The request kind a path names, or 0 when it names none.
int ClassifyPath(const char* path);

// The kind of request a request line (NUL-terminated, cut in place) makes: the method
// must be exactly "GET" and the path must name a kind. 0 otherwise.
int ClassifyRequestLine(char* line);

// One connection's request head as it arrives.
class RequestHead {
public:
    enum Status {
        NEED_MORE,  // nothing decided yet: feed more bytes
        REQUEST,    // the request line has come and names Kind(); the header is not read
        COMPLETE,   // after ReadHeaders(): the blank line that ends the header has come
        REJECTED,   // not a request the updater answers, a broken header, or over a limit
    };

    // Where the next received bytes go, and how many fit. 0 once the head's limit is reached.
    char* Space() { return m_bytes + m_used; }
    size_t SpaceLeft() const { return REQUEST_HEAD_LIMIT - m_used; }
    // n bytes have been written at Space().
    void Received(size_t n);
    // The peer has sent its last byte.
    void Closed() { m_closed = true; }
    // Goes on with the header lines after REQUEST.
    void ReadHeaders();
    // Reads the lines that have come whole. REQUEST is returned once; after it NEED_MORE
    // until ReadHeaders() is called.
    Status Parse();
    int Kind() const { return m_kind; }
    // Bytes taken so far.
    size_t Used() const { return m_used; }

private:
    enum Phase { REQUEST_LINE, DECIDED, HEADERS, DONE };
    // The next whole line (or the rest, at the end of the stream) into m_line. Its length
    // before the line feed, or -1 when it has not come whole yet, or -2 when nothing is
    // left of a closed stream.
    int NextLine();

    char m_bytes[REQUEST_HEAD_LIMIT];
    size_t m_used = 0;
    size_t m_parsed = 0;
    int m_lines = 0;
    bool m_closed = false;
    Phase m_phase = REQUEST_LINE;
    Status m_final = NEED_MORE;
    int m_kind = 0;
    char m_line[LINE_CAPACITY + 1];
};
