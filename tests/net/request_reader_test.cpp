// The request head parser fed as a connection would feed it: the request line with the
// blank lines before it, the header read, line cutting, the end of the stream and the
// limits; then the tokenizer, the case-insensitive search and the path classification.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/request_reader.h"
#include "run/run_state.h"

namespace {

// Feeds the bytes in pieces of at most `piece` (a receive may bring any amount), then the
// end of the stream when closed; the status after the last Parse.
RequestHead::Status Feed(RequestHead& head, const std::string& bytes, size_t piece, bool closed) {
    RequestHead::Status status = head.Parse();
    for (size_t at = 0; at < bytes.size() && status == RequestHead::NEED_MORE;) {
        const size_t n = std::min({piece, bytes.size() - at, head.SpaceLeft()});
        if (n == 0) break;
        std::memcpy(head.Space(), bytes.data() + at, n);
        head.Received(n);
        at += n;
        status = head.Parse();
    }
    if (closed && status == RequestHead::NEED_MORE) {
        head.Closed();
        status = head.Parse();
    }
    return status;
}

const size_t kPieces[] = {1, 7, 100000};

struct RequestCase {
    const char* name;
    std::string sent;
    int result;
    int kind;  // the kind the head names when it is a request (99: not looked at)
};

TEST(RequestHeadTest, RequestLineTable) {
    const RequestCase cases[] = {
        {"manifest", "GET /list.lst HTTP/1.0\r\n", 1, REQ_LIST},
        {"manifest without a version", "GET /list.lst\r\n", 1, REQ_LIST},
        {"after blank lines", "\r\n\r\n\r\nGET /list.lst HTTP/1.0\r\n", 1, REQ_LIST},
        {"leading spaces and tabs", " \t GET \t/list.lst  HTTP/1.0\r\n", 1, REQ_LIST},
        {"line feed alone ends the request line", "GET /list.lst HTTP/1.0\n", 1, REQ_LIST},
        {"method in lower case", "get /list.lst HTTP/1.0\r\n", 0, 99},
        {"method in mixed case", "Get /list.lst HTTP/1.0\r\n", 0, 99},
        {"method with more", "GETX /list.lst HTTP/1.0\r\n", 0, 99},
        {"path in capitals", "GET /LIST.LST HTTP/1.0\r\n", 0, 99},
        {"image 3", "GET /dev/mtd/3 HTTP/1.0\r\n", 1, REQ_IMAGE_MTD3},
        {"image 4", "GET /dev/mtd/4 HTTP/1.0\r\n", 1, REQ_IMAGE_MTD4},
        {"image 5", "GET /dev/mtd/5 HTTP/1.0\r\n", 1, REQ_IMAGE_MTD5},
        {"image 6", "GET /dev/mtd/6 HTTP/1.0\r\n", 1, REQ_IMAGE_MTD6},
        {"image 3 with a tail", "GET /dev/mtd/3abc HTTP/1.0\r\n", 1, REQ_IMAGE_MTD3},
        {"image 7", "GET /dev/mtd/7 HTTP/1.0\r\n", 0, 99},
        {"image without digit", "GET /dev/mtd/ HTTP/1.0\r\n", 0, 99},
        {"image x", "GET /dev/mtd/x HTTP/1.0\r\n", 0, 99},
        {"image 9 does not fall through to reports", "GET /dev/mtd/9erase%20start HTTP/1.0\r\n", 0, 99},
        {"image path in capitals", "GET /DEV/MTD/3 HTTP/1.0\r\n", 0, 99},
        {"erase start, any case", "GET /cgi?ERASE%20StArT HTTP/1.0\r\n", 1, REQ_ERASE_START},
        {"erase finish", "GET /erase%20finish HTTP/1.0\r\n", 1, REQ_ERASE_FINISH},
        {"writing before wrote", "GET /wrote%20writing%20 HTTP/1.0\r\n", 1, REQ_WRITING},
        {"wrote", "GET /x/wrote%201 HTTP/1.0\r\n", 1, REQ_WROTE},
        {"old version", "GET /can%20not%20use%20the%20old%20version HTTP/1.0\r\n", 1, REQ_OLD_VERSION},
        {"checksum error", "GET /checksum%20error HTTP/1.0\r\n", 1, REQ_CHECKSUM_ERROR},
        {"completed", "GET /Upgrade%20completed HTTP/1.0\r\n", 1, REQ_UPGRADE_COMPLETED},
        {"erase finish wins over completed", "GET /Upgrade%20completed/erase%20finish HTTP/1.0\r\n", 1,
         REQ_ERASE_FINISH},
        {"raw space cuts the path", "GET /erase start HTTP/1.0\r\n", 0, 99},
        {"high byte cuts the path", "GET /list.lst\xC3\xA9 HTTP/1.0\r\n", 1, REQ_LIST},
        {"high byte before the phrase", "GET /\x80wrote%20 HTTP/1.0\r\n", 0, 99},
        {"no percent decoding", "GET /erase%2520start HTTP/1.0\r\n", 0, 99},
        {"unknown path", "GET /index.html HTTP/1.0\r\n", 0, 99},
        {"GET and close", "GET", 0, 99},
        {"first byte NUL", std::string("\0GET /list.lst\r\n", 16), 0, 99},
        {"space before CR LF is not blank", " \r\nGET /list.lst HTTP/1.0\r\n", 0, 99},
        {"line feed alone before the request", "\nGET /list.lst HTTP/1.0\r\n", 0, 99},
        {"closed at once", "", 0, 99},
    };
    for (const RequestCase& c : cases) {
        for (size_t piece : kPieces) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            auto head = std::make_unique<RequestHead>();
            const RequestHead::Status status = Feed(*head, c.sent, piece, true);
            EXPECT_EQ(status, c.result == 1 ? RequestHead::REQUEST : RequestHead::REJECTED);
            if (c.result == 1) {
                EXPECT_EQ(head->Kind(), c.kind);
            }
        }
    }
}

TEST(RequestHeadTest, TheRequestIsDecidedOnItsLineAloneAndOnlyOnce) {
    RequestHead head;
    EXPECT_EQ(Feed(head, "GET /erase%20start HTTP/1.0\r\n", 100, false), RequestHead::REQUEST);
    EXPECT_EQ(head.Kind(), REQ_ERASE_START);
    EXPECT_EQ(head.Parse(), RequestHead::NEED_MORE) << "until the header is asked for";
    EXPECT_EQ(Feed(head, "GET /list.lst HTTP/1.0\r\n", 100, false), RequestHead::NEED_MORE);
    // Nothing before the line feed is decided.
    RequestHead partial;
    EXPECT_EQ(Feed(partial, "GET /list.lst HTTP/1.0", 100, false), RequestHead::NEED_MORE);
}

struct HeaderCase {
    const char* name;
    std::string sent;
    bool closed;
    RequestHead::Status status;
};

TEST(RequestHeadTest, HeaderTable) {
    const std::string many_lines = [] {
        std::string h;
        for (int i = 0; i < REQUEST_LINE_LIMIT - 2; ++i) h += "H: v\r\n";
        return h;
    }();
    const HeaderCase cases[] = {
        {"blank line at once", "\r\n", false, RequestHead::COMPLETE},
        {"headers then blank line", "Host: a\r\nAccept: */*\r\n\r\n", false, RequestHead::COMPLETE},
        {"space before CR LF is a header", " \r\n\r\n", false, RequestHead::COMPLETE},
        {"line feed alone ends the header unanswered", "Host: a\n\n", false, RequestHead::REJECTED},
        {"connection closed before the blank line", "Host: a\r\n", true, RequestHead::REJECTED},
        {"closed mid-line", "Host: a", true, RequestHead::REJECTED},
        {"not whole yet", "Host: a\r\n", false, RequestHead::NEED_MORE},
        {"long header read as several lines", std::string(2000, 'h') + "\r\n\r\n", false,
         RequestHead::COMPLETE},
        {"a header line of exactly 1023 bytes then its line feed: a line of no bytes",
         std::string(1023, 'h') + "\n\r\n", false, RequestHead::REJECTED},
        {"100 lines with the request line and the blank line", many_lines + "\r\n", false,
         RequestHead::COMPLETE},
        {"one line more", many_lines + "H: v\r\n\r\n", false, RequestHead::REJECTED},
        {"endless header lines", std::string(200000, 'x'), false, RequestHead::REJECTED},
        {"endless short header lines",
         [] {
             std::string h;
             for (int i = 0; i < 1000; ++i) h += "X: y\r\n";
             return h;
         }(),
         false, RequestHead::REJECTED},
        {"more than the head's limit in fewer lines",
         std::string(90, 'z') +
             [] {
                 std::string h;
                 for (int i = 0; i < 90; ++i) h += std::string(98, 'k') + "\r\n";
                 return h;
             }(),
         false, RequestHead::REJECTED},
    };
    for (const HeaderCase& c : cases) {
        for (size_t piece : kPieces) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            auto head = std::make_unique<RequestHead>();
            ASSERT_EQ(Feed(*head, "GET /list.lst HTTP/1.0\r\n", piece, false), RequestHead::REQUEST);
            head->ReadHeaders();
            EXPECT_EQ(Feed(*head, c.sent, piece, c.closed), c.status);
            EXPECT_LE(head->Used(), REQUEST_HEAD_LIMIT);
        }
    }
}

TEST(RequestHeadTest, ALongRequestLineIsCutAndItsRestReadAsAHeader) {
    RequestHead head;
    const std::string line = "GET /list.lst " + std::string(1500, 'v') + "\r\n";
    ASSERT_EQ(Feed(head, line, 100000, false), RequestHead::REQUEST);
    EXPECT_EQ(head.Kind(), REQ_LIST);
    head.ReadHeaders();
    EXPECT_EQ(Feed(head, "\r\n", 1, false), RequestHead::COMPLETE);
}

TEST(BlankLineTest, Table) {
    const struct {
        const char* text;
        int result;
    } cases[] = {{"\r\n", 1}, {"\n", 0}, {"\r", 0}, {" \r\n", 0}, {"\r\n\r\n", 0}, {"", 0}, {"x\r\n", 0}};
    for (const auto& c : cases) EXPECT_EQ(IsBlankLine(c.text), c.result) << '"' << c.text << '"';
    EXPECT_EQ(IsBlankLine(nullptr), 0);
}

// Copies text into an area of exactly its size, so that the address sanitizer catches any
// read beyond the terminating NUL.
std::vector<std::string> Tokens(const std::string& text) {
    std::unique_ptr<char[]> area(new char[text.size() + 1]);
    std::memcpy(area.get(), text.c_str(), text.size() + 1);
    std::vector<std::string> out;
    char* cursor = area.get();
    for (int i = 0; i < 64; ++i) {
        const char* t = NextToken(&cursor);
        if (t == nullptr) break;
        out.push_back(t);
    }
    return out;
}

TEST(NextTokenTest, Table) {
    using V = std::vector<std::string>;
    const struct {
        std::string text;
        V tokens;
    } cases[] = {
        // After the CR the LF is left: separators up to the end give one empty token.
        {"GET /list.lst HTTP/1.0\r\n", V{"GET", "/list.lst", "HTTP/1.0", ""}},
        {"GET", V{"GET"}},
        {"  \t GET  /x", V{"GET", "/x"}},
        {"   ", V{""}},  // step over the separators, then an empty token at the end
        {"", V{}},
        {"a\x01"
         "b\x7F"
         "c",
         V{"a",
           "b\x7F"
           "c"}},  // 0x7F is not a separator
        {"a\xFF"
         "b\x80"
         "c",
         V{"a", "b", "c"}},
        {"one two ", V{"one", "two"}},
    };
    for (const auto& c : cases) EXPECT_EQ(Tokens(c.text), c.tokens) << c.text;
}

TEST(NextTokenTest, NullCursorAndNullText) {
    EXPECT_EQ(NextToken(nullptr), nullptr);
    char* nothing = nullptr;
    EXPECT_EQ(NextToken(&nothing), nullptr);
}

TEST(NextTokenTest, CutsInPlaceAndAdvancesPastTheSeparator) {
    char text[] = "GET /a";
    char* cursor = text;
    char* method = NextToken(&cursor);
    EXPECT_EQ(method, text);
    EXPECT_EQ(text[3], '\0');
    EXPECT_EQ(cursor, text + 4);
    char* path = NextToken(&cursor);
    EXPECT_EQ(path, text + 4);
    EXPECT_EQ(cursor, text + 6) << "at the text's own NUL, not beyond it";
    EXPECT_EQ(NextToken(&cursor), nullptr);
}

TEST(FindNoCaseTest, Table) {
    const struct {
        const char* text;
        const char* phrase;
        int at;  // -1: not found
    } cases[] = {
        {"abc", "", 0},
        {"", "", 0},
        {"", "a", -1},
        {"ab", "abc", -1},
        {"xxERASE%20START", "erase%20start", 2},
        {"Upgrade%20Completed", "upgrade%20COMPLETED", 0},
        {"aaab", "aab", 1},
        {"erase%2", "erase%20", -1},
        {"\xC9T\xC9", "\xE9t\xE9", -1},  // only A to Z fold
        {"[@`{", "[@`{", 0},
        {"@", "`", -1},  // 0x40 and 0x60 are not letters
    };
    for (const auto& c : cases) {
        const char* r = FindNoCase(c.text, c.phrase);
        EXPECT_EQ(r == nullptr ? -1 : static_cast<int>(r - c.text), c.at) << c.text << " / " << c.phrase;
    }
    EXPECT_EQ(FindNoCase(nullptr, "a"), nullptr);
    EXPECT_EQ(FindNoCase("a", nullptr), nullptr);
}

TEST(ClassifyPathTest, EveryKindAndTheRejections) {
    const struct {
        const char* path;
        int kind;
    } cases[] = {
        {"/list.lst", REQ_LIST},
        {"/list.lst/", 0},
        {"list.lst", 0},
        {"/dev/mtd/3", REQ_IMAGE_MTD3},
        {"/dev/mtd/6x", REQ_IMAGE_MTD6},
        {"/dev/mtd/2", 0},
        {"/dev/mtd", 0},
        {"/dev/mtd/", 0},
        {"/dev/mtd/0writing%20", 0},
        {"/x/dev/mtd/3", 0},
        {"erase%20start", REQ_ERASE_START},
        {"/a?erase%20FINISH", REQ_ERASE_FINISH},
        {"/writing%20", REQ_WRITING},
        {"/WROTE%20", REQ_WROTE},
        {"/CAN%20NOT%20USE%20THE%20OLD%20VERSION", REQ_OLD_VERSION},
        {"/Checksum%20Error", REQ_CHECKSUM_ERROR},
        {"/upgrade%20completed", REQ_UPGRADE_COMPLETED},
        {"/checksum%20error/can%20not%20use%20the%20old%20version", REQ_OLD_VERSION},
        {"/wrote%20/erase%20start", REQ_ERASE_START},
        {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ClassifyPath(c.path), c.kind) << c.path;
    EXPECT_EQ(ClassifyPath(nullptr), 0);
}

}  // namespace
