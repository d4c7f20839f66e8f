// orvane-m1-sim: the Orvane M1 receiver's side of a firmware update, with fault modes, for
// telling a PC problem from a device problem. See --help.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "tools/sim/device.h"
#include "tools/sim/options.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    sim::Options options;
    std::string why;
    if (!sim::ParseOptions(args, &options, &why)) {
        std::fprintf(stderr, "%s: %s\n", sim::SIM_NAME, why.c_str());
        return sim::EXIT_USAGE;
    }
    if (options.help) {
        std::fputs(sim::HelpText().c_str(), stdout);
        return sim::EXIT_OK;
    }
    if (options.version) {
        std::printf("%s %s\n", sim::SIM_NAME, sim::SIM_VERSION);
        return sim::EXIT_OK;
    }
    if (SockStartup() != 1) {
        std::fprintf(stderr, "%s: the socket library did not start\n", sim::SIM_NAME);
        return sim::EXIT_LOCAL;
    }
    int code;
    {
        sim::Transcript transcript(stdout, stderr);
        sim::Device device(options, &transcript);
        code = device.Run();
    }
    SockCleanup();
    return code;
}
