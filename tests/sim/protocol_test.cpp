// The simulator's wire checks and its command line: what it accepts from an updater, what
// it refuses and why, and which flag combinations it takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sockets.h"
#include "tools/sim/options.h"
#include "tools/sim/protocol.h"

namespace {

using sim::Announcement;
using sim::HeadStatus;
using sim::ManifestEntry;
using sim::ResponseHead;

std::string Why(const std::string& datagram) {
    std::string why;
    Announcement a;
    EXPECT_FALSE(sim::ParseAnnouncement(datagram.data(), datagram.size(), &a, &why)) << datagram;
    return why;
}

TEST(AnnouncementTest, TakesTheExactFormatAndReadsAddressAndPort) {
    const std::string d = "ZID-FWTools 1.0\r\nHOST:http://192.168.1.10:20200\r\n\r\n";
    ASSERT_EQ(d.size(), 51u);
    Announcement a;
    std::string why;
    ASSERT_TRUE(sim::ParseAnnouncement(d.data(), d.size(), &a, &why)) << why;
    EXPECT_EQ(a.address, MakeIPv4(192, 168, 1, 10));
    EXPECT_EQ(a.port, 20200);
    EXPECT_EQ(a.address_text, "192.168.1.10");

    const std::string widest = "ZID-FWTools 1.0\r\nHOST:http://255.255.255.254:65535\r\n\r\n";
    ASSERT_TRUE(sim::ParseAnnouncement(widest.data(), widest.size(), &a, &why)) << why;
    EXPECT_EQ(a.port, 65535);
}

TEST(AnnouncementTest, RefusesEveryDeviationWithAReason) {
    EXPECT_NE(
        Why(std::string("ZID-FWTools 1.0\r\nHOST:http://10.0.0.2:20201\r\n\r\n", 47) + '\0').find("NUL"),
        std::string::npos);
    EXPECT_NE(Why("ZID-FWTools 2.0\r\nHOST:http://10.0.0.2:20201\r\n\r\n").find("2.0"), std::string::npos);
    EXPECT_NE(Why("ZID-FWTools 1.0\nHOST:http://10.0.0.2:20201\r\n\r\n").find("LF alone"), std::string::npos);
    EXPECT_NE(Why("OTHER 1.0\r\nHOST:http://10.0.0.2:20201\r\n\r\n").find("does not start"),
              std::string::npos);
    EXPECT_NE(Why("ZID-FWTools 1.0\r\nhost:http://10.0.0.2:20201\r\n\r\n").find("HOST:http://"),
              std::string::npos);
    // The blank line is part of the format, and nothing may follow it.
    EXPECT_NE(Why("ZID-FWTools 1.0\r\nHOST:http://10.0.0.2:20201\r\n").find("blank line"), std::string::npos);
    EXPECT_NE(Why("ZID-FWTools 1.0\r\nHOST:http://10.0.0.2:20201\r\n\r\nx").find("follow"),
              std::string::npos);
    // Address and port as printf writes them: no leading zeros, no missing parts.
    EXPECT_NE(Why("ZID-FWTools 1.0\r\nHOST:http://10.0.0.02:20201\r\n\r\n").find("10.0.0.02"),
              std::string::npos);
    Why("ZID-FWTools 1.0\r\nHOST:http://10.0.2:20201\r\n\r\n");
    Why("ZID-FWTools 1.0\r\nHOST:http://10.0.0.256:20201\r\n\r\n");
    Why("ZID-FWTools 1.0\r\nHOST:http://0.0.0.0:20201\r\n\r\n");
    EXPECT_NE(Why("ZID-FWTools 1.0\r\nHOST:http://10.0.0.2:0\r\n\r\n").find("port 0"), std::string::npos);
    Why("ZID-FWTools 1.0\r\nHOST:http://10.0.0.2:020201\r\n\r\n");
    Why("ZID-FWTools 1.0\r\nHOST:http://10.0.0.2:65536\r\n\r\n");
    EXPECT_NE(Why("ZID-FWTools 1.0\r\nHOST:http://10.0.0.2\r\n\r\n").find("no port"), std::string::npos);
    Why("");
}

std::string ManifestWhy(const std::string& body) {
    std::string why;
    std::vector<ManifestEntry> entries;
    EXPECT_FALSE(sim::ParseManifest(body, &entries, &why)) << sim::Printable(body);
    return why;
}

TEST(ManifestTest, ReadsTheShippedManifest) {
    const std::string body = "ZID2020 4\r\n52624 /dev/mtd/4\r\n04992 /dev/mtd/5\r\n33072 /dev/mtd/6\r\n";
    ASSERT_EQ(body.size(), 65u);
    std::vector<ManifestEntry> entries;
    std::string why;
    ASSERT_TRUE(sim::ParseManifest(body, &entries, &why)) << why;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].partition, 4);
    EXPECT_EQ(entries[0].checksum, 52624u);
    EXPECT_EQ(entries[1].checksum, 4992u) << "leading zeros are part of the five digits";
    EXPECT_EQ(entries[2].partition, 6);

    ASSERT_TRUE(sim::ParseManifest("ZID2020 4\r\n00000 /dev/mtd/3\r\n65535 /dev/mtd/6\r\n", &entries, &why))
        << why;
    EXPECT_EQ(entries[1].checksum, 65535u);
}

TEST(ManifestTest, RefusesEveryDeviationWithAReason) {
    // The header always says 4, whatever the number of entries.
    EXPECT_NE(ManifestWhy("ZID2020 3\r\n52624 /dev/mtd/4\r\n").find("ZID2020 3"), std::string::npos);
    EXPECT_NE(ManifestWhy("ZID2020 4\r\n").find("no partition"), std::string::npos);
    EXPECT_NE(ManifestWhy("").find("empty"), std::string::npos);
    EXPECT_NE(ManifestWhy("ZID2020 4\r\n52624 /dev/mtd/4\n").find("LF alone"), std::string::npos);
    EXPECT_NE(ManifestWhy("ZID2020 4\r\n52624 /dev/mtd/4").find("does not end"), std::string::npos);
    EXPECT_NE(ManifestWhy("ZID2020 4\r\n52624 /dev/mtd/4\r\n\r\n").find("blank"), std::string::npos);
    EXPECT_NE(ManifestWhy("ZID2020 4\r\n4992 /dev/mtd/5\r\n").find("line 2"), std::string::npos);
    EXPECT_NE(ManifestWhy("ZID2020 4\r\n70000 /dev/mtd/5\r\n").find("above 65535"), std::string::npos);
    EXPECT_NE(ManifestWhy("ZID2020 4\r\n12345 /dev/mtd/7\r\n").find("3 to 6"), std::string::npos);
    EXPECT_NE(ManifestWhy("ZID2020 4\r\n12345 /dev/mtd/5\r\n12345 /dev/mtd/4\r\n").find("ascending"),
              std::string::npos);
    EXPECT_NE(ManifestWhy("ZID2020 4\r\n12345 /dev/mtd/5\r\n12345 /dev/mtd/5\r\n").find("line 3"),
              std::string::npos);
    ManifestWhy("ZID2020 4\r\n12345  /dev/mtd/5\r\n");
    ManifestWhy("ZID2020 4\r\n12345 /dev/mtd/5 \r\n");
}

HeadStatus Head(const std::string& text, ResponseHead* head, std::string* why) {
    return sim::ParseResponseHead(text.data(), text.size(), head, why);
}

TEST(ResponseHeadTest, ReadsTheUpdatersHeadAndWaitsForMoreUntilTheBlankLine) {
    const std::string head_text =
        "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 484\r\n"
        "Connection: close\r\n\r\n";
    ResponseHead head;
    std::string why;
    ASSERT_EQ(Head(head_text + "body", &head, &why), HeadStatus::COMPLETE) << why;
    EXPECT_EQ(head.content_type, "application/octet-stream");
    EXPECT_EQ(head.content_length, 484u);
    EXPECT_EQ(head.head_bytes, head_text.size());

    for (size_t cut = 0; cut < head_text.size(); ++cut) {
        ASSERT_EQ(Head(head_text.substr(0, cut), &head, &why), HeadStatus::INCOMPLETE) << cut << ": " << why;
    }
}

TEST(ResponseHeadTest, RefusesWhatADeviceCannotUse) {
    struct Case {
        const char* head;
        const char* reason;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1\r\nConnection: close\r\n\r\n",
         "status line"},
        {"HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 1\r\nConnection: "
         "close\r\n\r\n",
         "status line"},
        {"HTTP/1.0 200 OK\nContent-Type: text/plain\nContent-Length: 1\nConnection: close\n\n", "LF alone"},
        {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n", "no Content-Length"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\nConnection: close\r\n\r\n", "no Content-Type"},
        {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1\r\n\r\n", "Connection: close"},
        {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: -1\r\nConnection: close\r\n\r\n",
         "not a byte count"},
        {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1\r\nContent-Length: 1\r\n"
         "Connection: close\r\n\r\n",
         "two Content-Length"},
        {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1\r\nConnection: keep-alive\r\n\r\n",
         "keep-alive"},
        {"HTTP/1.0 200 OK\r\nno colon here\r\nContent-Length: 1\r\nConnection: close\r\n\r\n", "Name: value"},
    };
    for (const Case& c : cases) {
        ResponseHead head;
        std::string why;
        EXPECT_EQ(Head(c.head, &head, &why), HeadStatus::BAD) << c.head;
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
    ResponseHead head;
    std::string why;
    EXPECT_EQ(Head(std::string(sim::MAX_HEAD_BYTES + 1, 'x'), &head, &why), HeadStatus::BAD);
}

TEST(RequestTest, ReportPathsCarryThePhrasesTheUpdaterLooksFor) {
    EXPECT_EQ(sim::BuildRequest("/list.lst", "10.0.0.1", 20200),
              "GET /list.lst HTTP/1.0\r\nHost: 10.0.0.1:20200\r\n\r\n");
    EXPECT_EQ(sim::ReportPath(sim::Report::ERASE_START, 5), "/erase%20start%20mtd5");
    EXPECT_EQ(sim::ReportPath(sim::Report::ERASE_FINISH, 5), "/erase%20finish%20mtd5");
    EXPECT_EQ(sim::ReportPath(sim::Report::WRITING, 5), "/writing%20mtd5");
    EXPECT_EQ(sim::ReportPath(sim::Report::WROTE, 5), "/wrote%20mtd5");
    EXPECT_EQ(sim::ReportPath(sim::Report::WRITING, 0), "/writing%20");
    EXPECT_EQ(sim::ReportPath(sim::Report::CHECKSUM_ERROR, 4), "/checksum%20error%20mtd4");
    EXPECT_EQ(sim::ReportPath(sim::Report::OLD_VERSION, 4), "/can%20not%20use%20the%20old%20version");
    EXPECT_EQ(sim::ReportPath(sim::Report::COMPLETED, 6), "/Upgrade%20completed");
    EXPECT_EQ(sim::Printable(std::string("a\r\n\x01\xff", 5)), "a\\r\\n\\x01\\xFF");
    EXPECT_EQ(sim::Printable(std::string(100, 'z'), 4), "zzzz...");
}

bool Parse(const std::vector<std::string>& args, sim::Options* o, std::string* why) {
    return sim::ParseOptions(args, o, why);
}

TEST(OptionsTest, ReadsAddressesAndFaultModes) {
    sim::Options o;
    std::string why;
    ASSERT_TRUE(Parse({"--listen", "10.231.0.255", "--source=10.231.0.2", "--vanish=5", "--retry-after",
                       "0.5", "--slow", "2"},
                      &o, &why))
        << why;
    EXPECT_TRUE(o.have_listen);
    EXPECT_EQ(o.listen_address, MakeIPv4(10, 231, 0, 255));
    EXPECT_EQ(o.listen_port, 20200) << "the discovery port unless given";
    EXPECT_EQ(o.source_address, MakeIPv4(10, 231, 0, 2));
    EXPECT_EQ(o.vanish, 5);
    EXPECT_EQ(o.retry_after_ms, 500u);
    EXPECT_EQ(o.slow_ms, 2000u);

    ASSERT_TRUE(Parse({"--server", "127.0.0.1:20201", "--checksum-error"}, &o, &why)) << why;
    EXPECT_EQ(o.server_port, 20201);
    EXPECT_EQ(o.checksum_error, sim::FIRST_LISTED);
    ASSERT_TRUE(Parse({"--listen", "127.0.0.1:0", "--silent-after-manifest=1.5"}, &o, &why)) << why;
    EXPECT_EQ(o.listen_port, 0);
    EXPECT_EQ(o.silent_ms, 1500u);
    ASSERT_TRUE(Parse({"--help"}, &o, &why));
    EXPECT_TRUE(o.help);
}

TEST(OptionsTest, RefusesWhatCannotRun) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--listen", "0.0.0.0", "--server", "10.0.0.1:20200"},
        {"--server", "10.0.0.1"},
        {"--listen", "0.0.0.0", "--old-version", "--checksum-error"},
        {"--listen", "0.0.0.0", "--vanish=7"},
        {"--listen", "0.0.0.0", "--no-retry"},
        {"--listen", "0.0.0.0", "--discover-only", "--old-version"},
        {"--server", "10.0.0.1:1", "--expect-host", "10.0.0.1"},
        {"--listen", "0.0.0.0", "--timeout", "0"},
        {"--listen", "0.0.0.0", "--wait", "soon"},
        {"--listen", "0.0.0.0", "--old-version=1"},
        {"--listen", "0.0.0.0", "--frobnicate"},
        {"--listen"},
    };
    for (const auto& args : bad) {
        sim::Options o;
        std::string why;
        EXPECT_FALSE(Parse(args, &o, &why)) << (args.empty() ? "(none)" : args[0]);
        EXPECT_FALSE(why.empty());
    }
}

TEST(OptionsTest, HelpDocumentsEveryFlagAndExitCode) {
    const std::string help = sim::HelpText();
    for (const char* flag :
         {"--listen", "--server", "--source", "--wait", "--timeout", "--expect-host", "--discover-only",
          "--checksum-error", "--old-version", "--silent-after-manifest", "--vanish", "--no-retry",
          "--retry-after", "--fetch-twice", "--slow", "--forge-from", "--help", "--version"}) {
        EXPECT_NE(help.find(std::string("  ") + flag), std::string::npos) << flag;
    }
    for (int code = 0; code <= 5; ++code) {
        EXPECT_NE(help.find("\n  " + std::to_string(code) + "  "), std::string::npos) << code;
    }
}

}  // namespace
