// The request reader: reads the device's HTTP request from an accepted connection one line
// (and one byte) at a time, and turns its path into a RequestKind. Nothing is read beyond
// the line feed that ends a line, and nothing is percent-decoded.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sockets.h"

struct ServerContext;

// Every line is read with this capacity: at most 1023 received bytes plus the NUL.
constexpr int LINE_CAPACITY = 1024;
// The device gets this long per byte before a line counts as failed.
constexpr long READ_TIMEOUT_SECONDS = 10;

// select() on the one socket: positive when readable, 0 on time-out, negative on error.
int WaitReadable(SocketHandle s, long seconds, long microseconds);

// Reads one line into text (capacity bytes, NUL-terminated). The line feed is stored but
// not counted. Returns the bytes stored before the line feed (also when the peer closed
// mid-line), or -1 on a receive error or when the peer stayed silent for the time-out
// (which applies to each byte separately). A capacity of 1 or less reads nothing.
int ReadLine(SocketHandle s, char* text, int capacity, long seconds, long microseconds);

// The same, but also gives up (with -1) within about a quarter of a second once *stop is
// not 0, so that a stopped run does not wait out a silent peer.
int ReadLineUntilStopped(SocketHandle s, char* text, int capacity, long seconds, long microseconds,
                         const std::atomic<int32_t>* stop);

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

// Reads the request line (skipping blank lines before it) from context->conn_socket into
// context->buffer and classifies it. 1 with the kind in context->request_kind; 0 when the
// request is rejected or the connection failed, leaving request_kind as it was.
int ReadRequest(ServerContext* context);

// Reads and drops header lines up to the blank line: 1 when it came, 0 when the connection
// ended, failed or went silent first.
int SkipHeaderLines(ServerContext* context);
