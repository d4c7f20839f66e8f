// The request reader and classifier over real loopback connections: line reading with its
// per-byte time-out and no read-ahead, the request line and header reads, the tokenizer,
// the case-insensitive search and the path classification.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/request_reader.h"
#include "run/run_state.h"
#include "tests/net/net_test_support.h"

namespace {

using nettest::MakePair;
using nettest::Pair;
using nettest::SendText;

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SockStartup(), 1);
        m_pair = MakePair();
        ASSERT_NE(m_pair.server, SOCKET_NONE);
    }
    void TearDown() override {
        m_pair.Close();
        SockCleanup();
    }
    // What is still waiting in the socket (the client side is closed first).
    std::string Rest() {
        SockClose(m_pair.client);
        m_pair.client = SOCKET_NONE;
        return nettest::ReadAll(m_pair.server, 5);
    }
    Pair m_pair;
};

struct LineCase {
    const char* name;
    std::string sent;
    bool close_after;
    int capacity;
    int result;
    std::string text;  // what the area holds up to its NUL
    std::string rest;  // what the socket still holds afterwards
};

TEST_F(ReaderTest, ReadLineTable) {
    const LineCase cases[] = {
        {"crlf line, the rest stays in the socket", "GET /x\r\nHost", true, 1024, 7, "GET /x\r\n", "Host"},
        {"line feed alone is a line of 0 bytes", "\nabc", true, 1024, 0, "\n", "abc"},
        {"blank line counts its carriage return", "\r\n", true, 1024, 1, "\r\n", ""},
        {"peer closes mid-line", "GET", true, 1024, 3, "GET", ""},
        {"peer closes at once", "", true, 1024, 0, "", ""},
        {"long line cut at capacity - 1", "abcdef\n", true, 4, 3, "abc", "def\n"},
        {"line feed just fits", "ab\n", true, 4, 2, "ab\n", ""},
        {"capacity 1 reads nothing", "abc\n", true, 1, 0, "", "abc\n"},
        {"capacity 0 reads nothing", "abc\n", true, 0, 0, "", "abc\n"},
        {"NUL bytes are stored like any other", std::string("a\0b\n", 4), true, 1024, 3, "a", ""},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        ASSERT_TRUE(SendText(m_pair.client, c.sent));
        if (c.close_after) SockShutdown(m_pair.client);
        char text[1024];
        std::memset(text, 'z', sizeof text);
        EXPECT_EQ(ReadLine(m_pair.server, text, c.capacity, 5, 0), c.result);
        if (c.capacity > 0)
            EXPECT_EQ(std::string(text), c.text);
        else
            EXPECT_EQ(text[0], '\0');
        EXPECT_EQ(Rest(), c.rest);
    }
}

TEST_F(ReaderTest, ReadLineOf1023BytesStopsThereAndLeavesTheRest) {
    const std::string line(1500, 'q');
    ASSERT_TRUE(SendText(m_pair.client, line + "\r\n"));
    std::vector<char> text(LINE_CAPACITY, 'z');
    EXPECT_EQ(ReadLine(m_pair.server, text.data(), LINE_CAPACITY, 5, 0), 1023);
    EXPECT_EQ(std::strlen(text.data()), 1023u);
    EXPECT_EQ(Rest(), std::string(477, 'q') + "\r\n");
}

TEST_F(ReaderTest, ReadLineTimesOutPerByteAndDropsWhatCame) {
    ASSERT_TRUE(SendText(m_pair.client, "GE"));
    char text[64];
    const long long start = MonotonicMs();
    EXPECT_EQ(ReadLine(m_pair.server, text, sizeof text, 0, 300000), -1);
    const long long took = MonotonicMs() - start;
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 3000);
    EXPECT_STREQ(text, "GE") << "the bytes so far stay NUL-terminated in the area";
}

TEST_F(ReaderTest, TheTimeOutRestartsWithEveryByte) {
    // Three bytes 200 ms apart with a 500 ms time-out: each wait is short enough.
    std::thread writer([this] {
        for (const char* b : {"a", "b", "\n"}) {
            SleepMs(200);
            SendText(m_pair.client, b);
        }
    });
    char text[64];
    EXPECT_EQ(ReadLine(m_pair.server, text, sizeof text, 0, 500000), 2);
    writer.join();
    EXPECT_STREQ(text, "ab\n");
}

TEST_F(ReaderTest, AStopCutsTheWaitShort) {
    std::atomic<int32_t> stop{0};
    std::thread stopper([&] {
        SleepMs(200);
        stop = 1;
    });
    char text[64];
    const long long start = MonotonicMs();
    EXPECT_EQ(ReadLineUntilStopped(m_pair.server, text, sizeof text, 10, 0, &stop), -1);
    stopper.join();
    EXPECT_LT(MonotonicMs() - start, 1500) << "a stopped run must not wait out the 10 seconds";
}

TEST_F(ReaderTest, WaitReadableReportsTimeOutReadinessAndError) {
    EXPECT_EQ(WaitReadable(m_pair.server, 0, 10000), 0);
    ASSERT_TRUE(SendText(m_pair.client, "x"));
    EXPECT_GT(WaitReadable(m_pair.server, 5, 0), 0);
    EXPECT_LT(WaitReadable(SOCKET_NONE, 0, 0), 0);
}

struct RequestCase {
    const char* name;
    std::string sent;
    int result;
    int kind;  // request_kind afterwards; the reader starts from 99
};

TEST_F(ReaderTest, ReadRequestTable) {
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
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        ASSERT_TRUE(SendText(m_pair.client, c.sent));
        SockShutdown(m_pair.client);
        auto context = std::make_unique<ServerContext>();
        context->conn_socket = m_pair.server;
        context->request_kind = 99;
        EXPECT_EQ(ReadRequest(context.get()), c.result);
        EXPECT_EQ(context->request_kind, c.kind);
    }
}

TEST_F(ReaderTest, ReadRequestTakesNothingBeyondTheRequestLine) {
    ASSERT_TRUE(SendText(m_pair.client, "GET /list.lst HTTP/1.0\r\nHost: a\r\n\r\n"));
    auto context = std::make_unique<ServerContext>();
    context->conn_socket = m_pair.server;
    ASSERT_EQ(ReadRequest(context.get()), 1);
    EXPECT_EQ(Rest(), "Host: a\r\n\r\n");
}

TEST_F(ReaderTest, NullContexts) {
    EXPECT_EQ(ReadRequest(nullptr), 0);
    EXPECT_EQ(SkipHeaderLines(nullptr), 0);
}

struct HeaderCase {
    const char* name;
    std::string sent;
    int result;
    std::string rest;
};

TEST_F(ReaderTest, SkipHeaderLinesTable) {
    const HeaderCase cases[] = {
        {"blank line at once", "\r\nbody", 1, "body"},
        {"headers then blank line", "Host: a\r\nAccept: */*\r\n\r\nbody", 1, "body"},
        {"space before CR LF is a header", " \r\n\r\n", 1, ""},
        {"line feed alone ends the read with 0", "Host: a\n\n", 0, ""},
        {"connection closed before the blank line", "Host: a\r\n", 0, ""},
        {"long header read as several lines", std::string(2000, 'h') + "\r\n\r\nX", 1, "X"},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        ASSERT_TRUE(SendText(m_pair.client, c.sent));
        SockShutdown(m_pair.client);
        auto context = std::make_unique<ServerContext>();
        context->conn_socket = m_pair.server;
        EXPECT_EQ(SkipHeaderLines(context.get()), c.result);
        EXPECT_EQ(Rest(), c.rest);
    }
}

TEST_F(ReaderTest, AStoppedContextGivesUpOnASilentPeer) {
    auto context = std::make_unique<ServerContext>();
    context->conn_socket = m_pair.server;
    std::thread stopper([&] {
        SleepMs(200);
        context->stop_requested = 1;
    });
    const long long start = MonotonicMs();
    EXPECT_EQ(ReadRequest(context.get()), 0);
    stopper.join();
    EXPECT_LT(MonotonicMs() - start, 1500);
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
