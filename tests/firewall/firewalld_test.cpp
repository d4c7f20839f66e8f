// The firewall opening on Linux, firewalld's. Everywhere: the rule's text, firewalld's error
// codes, and the opening this platform makes where there is no system bus. Against a real
// firewalld (tests/e2e/run_firewalld.sh runs this program in its test host with
// ORVANE_FIREWALLD_RUNNING=1): the rules in the zone of each interface, what is left alone,
// a reload in between, the exit of a process that did not close, and what the opening costs
// at start-up. firewalld's state is read back with firewall-cmd, not with the code under
// test.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "firewall/firewalld_opening.h"
#include "platform/posix/firewalld.h"
#include "platform/sockets.h"
#include "run/run_state.h"

namespace {

// ---- Everywhere ---------------------------------------------------------------------------

TEST(FirewalldRuleTest, AcceptsThePortFromTheInterfacesSubnetInFirewalldsSpelling) {
    EXPECT_EQ(
        firewalld::SubnetRule(MakeIPv4(192, 168, 1, 77), MakeIPv4(255, 255, 255, 0), 20200),
        "rule family=\"ipv4\" source address=\"192.168.1.0/24\" port port=\"20200\" protocol=\"tcp\" accept");
    EXPECT_EQ(
        firewalld::SubnetRule(MakeIPv4(172, 16, 200, 3), MakeIPv4(255, 240, 0, 0), 65535),
        "rule family=\"ipv4\" source address=\"172.16.0.0/12\" port port=\"65535\" protocol=\"tcp\" accept");
    EXPECT_EQ(
        firewalld::SubnetRule(MakeIPv4(10, 1, 2, 3), MakeIPv4(255, 255, 255, 255), 20201),
        "rule family=\"ipv4\" source address=\"10.1.2.3/32\" port port=\"20201\" protocol=\"tcp\" accept");
    // A mask with a gap counts up to the gap: never wider than the interface's network.
    EXPECT_EQ(
        firewalld::SubnetRule(MakeIPv4(10, 1, 2, 3), MakeIPv4(255, 0, 255, 0), 20200),
        "rule family=\"ipv4\" source address=\"10.0.0.0/8\" port port=\"20200\" protocol=\"tcp\" accept");
}

TEST(FirewalldOpeningTest, ThisPlatformsOpeningIsFirewalldsAndWithoutABusChangesNothing) {
    // Pointed at a socket that does not exist (never at this machine's own bus).
    const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string restore = saved != nullptr ? saved : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvane-test-bus", 1);
    firewalld::Bus bus;
    EXPECT_FALSE(bus.Open());
    bool open = true;
    EXPECT_TRUE(bus.QueryPort("public", 20200, "tcp", &open).Failed());
    EXPECT_FALSE(open);
    EXPECT_FALSE(bus.NameHasOwner(firewalld::BUS_NAME));

    SockStartup();
    g_firewall_method = FIREWALL_NONE;
    CFirewallOpening* opening = nullptr;
    OpenSystemFirewall(opening);
    const auto* firewalld_opening = dynamic_cast<const CFirewalldOpening*>(opening);
    ASSERT_NE(firewalld_opening, nullptr);
    EXPECT_EQ(g_firewall_method, FIREWALL_FIREWALLD);
    EXPECT_EQ(g_server_port, 20200) << "the probe ran (the suite's network namespace has 20200 free)";
    EXPECT_EQ(firewalld_opening->Port(), 20200);
    EXPECT_TRUE(firewalld_opening->RulesAdded().empty());
    CloseSystemFirewall(opening);
    EXPECT_EQ(opening, nullptr);
    EXPECT_TRUE(firewalld::RulesHeld().empty());
    SockCleanup();
    if (saved != nullptr) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", restore.c_str(), 1);
    } else {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

TEST(FirewalldErrorTest, FirewalldsCodeIsTheStartOfTheMessage) {
    firewalld::CallError e;
    e.code = -5;
    e.message = "NOT_ENABLED: 'rule family=...' not in 'public'";
    EXPECT_TRUE(e.Is("NOT_ENABLED"));
    EXPECT_FALSE(e.Is("NOT_ENABLE"));
    EXPECT_FALSE(e.Is("ALREADY_ENABLED"));
    e.message = "NOT_ENABLED";
    EXPECT_TRUE(e.Is("NOT_ENABLED"));
    e.code = 0;
    EXPECT_FALSE(e.Is("NOT_ENABLED")) << "a success is no error of any kind";
}

// ---- On a system bus where firewalld does not run ------------------------------------------

TEST(FirewalldNotRunningTest, NothingIsAddedAndTheCostIsPrinted) {
    if (std::getenv("ORVANE_FIREWALLD_NOT_RUNNING") == nullptr) {
        GTEST_SKIP() << "needs a system bus without firewalld in a test host (tests/e2e/run_firewalld.sh)";
    }
    NetInterface links[MAX_NET_INTERFACES];
    ASSERT_GT(ListAnnounceInterfaces(links, MAX_NET_INTERFACES), 0)
        << "an interface to announce on, so that the bus is asked at all";
    SockStartup();
    using Clock = std::chrono::steady_clock;
    CFirewalldOpening opening;
    const auto t0 = Clock::now();
    opening.Open();
    const double open_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    EXPECT_TRUE(opening.RulesAdded().empty());
    opening.Close();
    SockCleanup();
    std::printf("opening on a bus without firewalld: %.2f ms\n", open_ms);
}

// ---- Against a real firewalld -------------------------------------------------------------

// One interface of the test host and the subnet the test expects its rule for.
struct TestLink {
    std::string name;
    std::string subnet;
};

std::vector<TestLink> TestLinks() {
    // "name=subnet name=subnet ..."
    std::vector<TestLink> links;
    const char* text = std::getenv("ORVANE_FIREWALLD_LINKS");
    std::istringstream in(text != nullptr ? text : "");
    std::string item;
    while (in >> item) {
        const auto at = item.find('=');
        if (at != std::string::npos) links.push_back({item.substr(0, at), item.substr(at + 1)});
    }
    return links;
}

std::string Rule(const std::string& subnet, unsigned port = 20200) {
    return "rule family=\"ipv4\" source address=\"" + subnet + "\" port port=\"" + std::to_string(port) +
           "\" protocol=\"tcp\" accept";
}

// firewall-cmd with these arguments: its output lines.
std::vector<std::string> FirewallCmd(const std::string& arguments) {
    const char* command = std::getenv("ORVANE_FIREWALL_CMD");
    std::vector<std::string> lines;
    if (command == nullptr) return lines;
    const std::string full = std::string(command) + " " + arguments + " 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) return lines;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    pclose(pipe);
    return lines;
}

// In a stable order: firewalld keeps a zone's rules as a set.
std::vector<std::string> RichRules(const std::string& zone) {
    std::vector<std::string> rules = FirewallCmd("--zone=" + zone + " --list-rich-rules");
    std::sort(rules.begin(), rules.end());
    return rules;
}

class RealFirewalldTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("ORVANE_FIREWALLD_RUNNING") == nullptr) {
            GTEST_SKIP() << "needs firewalld in a test host of its own (tests/e2e/run_firewalld.sh)";
        }
        links = TestLinks();
        ASSERT_GE(links.size(), 3u) << "ORVANE_FIREWALLD_LINKS names three interfaces";
        ASSERT_EQ(FirewallCmd("--state"), std::vector<std::string>{"running"});
        ASSERT_EQ(RichRules("public"), std::vector<std::string>{}) << "a clean zone to start from";
        SockStartup();
        g_firewall_method = FIREWALL_NONE;
    }
    void TearDown() override {
        if (IsSkipped()) return;
        opening.Close();
        SockCleanup();
        // Whatever a failed case left: a reload takes runtime changes away.
        FirewallCmd("--reload");
    }
    void Open() { opening.Open(); }
    void Close() { opening.Close(); }
    std::vector<std::string> AllRules() const {
        std::vector<std::string> rules;
        for (const TestLink& l : links) rules.push_back(Rule(l.subnet));
        std::sort(rules.begin(), rules.end());
        return rules;
    }

    std::vector<TestLink> links;
    CFirewalldOpening opening;
};

TEST_F(RealFirewalldTest, EachInterfacesSubnetIsOpenedInItsZoneUntilClosing) {
    // The second interface bound to a zone of its own; the others are in no zone, which
    // means the default zone.
    ASSERT_EQ(FirewallCmd("--zone=home --change-interface=" + links[1].name),
              std::vector<std::string>{"success"});
    Open();
    EXPECT_EQ(g_firewall_method, FIREWALL_FIREWALLD);
    EXPECT_EQ(opening.Port(), 20200);
    EXPECT_EQ(opening.RulesAdded().size(), 3u);
    std::vector<std::string> in_public = {Rule(links[0].subnet), Rule(links[2].subnet)};
    std::sort(in_public.begin(), in_public.end());
    EXPECT_EQ(RichRules("public"), in_public);
    EXPECT_EQ(RichRules("home"), std::vector<std::string>{Rule(links[1].subnet)});
    EXPECT_EQ(FirewallCmd("--permanent --zone=public --list-rich-rules"), std::vector<std::string>{})
        << "runtime only";
    EXPECT_EQ(firewalld::RulesHeld().size(), 3u);

    Close();
    EXPECT_EQ(RichRules("public"), std::vector<std::string>{});
    EXPECT_EQ(RichRules("home"), std::vector<std::string>{});
    EXPECT_TRUE(opening.RulesAdded().empty());
    EXPECT_TRUE(firewalld::RulesHeld().empty());
}

TEST_F(RealFirewalldTest, ALabelledAddressIsOpenedInItsInterfacesZone) {
    // A second address on the third interface, labelled as ifconfig would show it.
    const std::string add =
        "ip addr add 10.233.77.1/24 brd + dev " + links[2].name + " label " + links[2].name + ":7";
    ASSERT_EQ(std::system(add.c_str()), 0);
    ASSERT_EQ(FirewallCmd("--zone=home --change-interface=" + links[2].name),
              std::vector<std::string>{"success"});
    Open();
    std::vector<std::string> in_home = {Rule(links[2].subnet), Rule("10.233.77.0/24")};
    std::sort(in_home.begin(), in_home.end());
    EXPECT_EQ(RichRules("home"), in_home);
    Close();
    EXPECT_EQ(RichRules("home"), std::vector<std::string>{});
    EXPECT_EQ(std::system(("ip addr del 10.233.77.1/24 dev " + links[2].name).c_str()), 0);
}

TEST_F(RealFirewalldTest, WhatWasOpenBeforeIsNeitherAddedNorRemoved) {
    // The user's own rule for one subnet, and the port open in a zone of its own.
    ASSERT_EQ(FirewallCmd("--zone=public --add-rich-rule='" + Rule(links[2].subnet) + "'"),
              std::vector<std::string>{"success"});
    ASSERT_EQ(FirewallCmd("--zone=work --change-interface=" + links[1].name),
              std::vector<std::string>{"success"});
    ASSERT_EQ(FirewallCmd("--zone=work --add-port=20200/tcp"), std::vector<std::string>{"success"});
    Open();
    EXPECT_EQ(opening.RulesAdded().size(), 1u) << "only the first interface's subnet was closed";
    std::vector<std::string> in_public = {Rule(links[2].subnet), Rule(links[0].subnet)};
    std::sort(in_public.begin(), in_public.end());
    EXPECT_EQ(RichRules("public"), in_public);
    EXPECT_EQ(RichRules("work"), std::vector<std::string>{});
    Close();
    EXPECT_EQ(RichRules("public"), std::vector<std::string>{Rule(links[2].subnet)})
        << "the user's rule stays";
    EXPECT_EQ(FirewallCmd("--zone=work --list-ports"), std::vector<std::string>{"20200/tcp"});
}

TEST_F(RealFirewalldTest, AReloadInBetweenLeavesNothingToCloseAndNothingElseIsTouched) {
    Open();
    EXPECT_EQ(RichRules("public"), AllRules());
    ASSERT_FALSE(opening.RulesAdded().empty());
    const firewalld::AddedRule dropped = opening.RulesAdded().front();
    ASSERT_EQ(FirewallCmd("--reload"), std::vector<std::string>{"success"});
    EXPECT_EQ(RichRules("public"), std::vector<std::string>{}) << "a reload drops runtime rules";
    bool refused = true;
    EXPECT_TRUE(firewalld::RemoveRule(dropped, false, firewalld::QUERY_TIMEOUT_US, &refused))
        << "a rule firewalld dropped counts as removed";
    EXPECT_FALSE(refused);
    // Added by the user after the reload.
    ASSERT_EQ(FirewallCmd("--zone=public --add-rich-rule='" + Rule(links[0].subnet, 8080) + "'"),
              std::vector<std::string>{"success"});
    const auto started = std::chrono::steady_clock::now();
    Close();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << "no call waited out";
    EXPECT_EQ(RichRules("public"), std::vector<std::string>{Rule(links[0].subnet, 8080)});
    // The user adds one of ours afterwards: a second closing must not take it.
    ASSERT_EQ(FirewallCmd("--zone=public --add-rich-rule='" + Rule(links[0].subnet) + "'"),
              std::vector<std::string>{"success"});
    Close();
    std::vector<std::string> users = {Rule(links[0].subnet, 8080), Rule(links[0].subnet)};
    std::sort(users.begin(), users.end());
    EXPECT_EQ(RichRules("public"), users);
}

// A process that ends through exit() without closing (Qt does so when the display
// connection breaks) takes its rules along; one that ends without running its exit code at
// all (killed) leaves them to the next reload.
TEST_F(RealFirewalldTest, AnExitWithoutClosingStillRemovesTheRules) {
    for (const bool run_exit_code : {true, false}) {
        SCOPED_TRACE(run_exit_code ? "exit" : "_exit");
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CFirewallOpening* opening_of_child = nullptr;
            OpenSystemFirewall(opening_of_child);
            const auto* added = dynamic_cast<const CFirewalldOpening*>(opening_of_child);
            const int held = added != nullptr ? static_cast<int>(added->RulesAdded().size()) : 0;
            if (run_exit_code) std::exit(held);
            _exit(held);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 3) << "the child added a rule for each interface";
        if (run_exit_code) {
            EXPECT_EQ(RichRules("public"), std::vector<std::string>{});
        } else {
            EXPECT_EQ(RichRules("public"), AllRules());
            ASSERT_EQ(FirewallCmd("--reload"), std::vector<std::string>{"success"});
            EXPECT_EQ(RichRules("public"), std::vector<std::string>{});
        }
    }
}

// What the opening adds to the start-up, and the closing to the teardown (printed; the
// comparison with the program's whole start-up is in run_firewalld.sh's output).
TEST_F(RealFirewalldTest, StartUpCost) {
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    auto t0 = Clock::now();
    Open();
    const double open_adding = ms(Clock::now() - t0);
    t0 = Clock::now();
    Close();
    const double close_removing = ms(Clock::now() - t0);

    ASSERT_EQ(FirewallCmd("--zone=public --add-port=20200/tcp"), std::vector<std::string>{"success"});
    t0 = Clock::now();
    Open();
    const double open_already = ms(Clock::now() - t0);
    Close();

    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvane-test-bus", 1);
    t0 = Clock::now();
    Open();
    const double open_no_bus = ms(Clock::now() - t0);
    Close();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::printf(
        "opening with 3 interfaces: %.1f ms adding 3 rules, %.1f ms with the port open, %.2f ms without a "
        "bus;"
        " closing 3 rules: %.1f ms\n",
        open_adding, open_already, open_no_bus, close_removing);
}

}  // namespace
