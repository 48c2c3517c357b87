// brellin-get: fetch one URL with the download engine, from a terminal or a script.
#include "app/brellin-get/VornGetOptions.h"
#include "app/brellin-get/VornGetSession.h"
#include "base/VornBaseLib.h"

#include <csignal>
#include <iostream>

namespace {

void RequestStop(int) {
    VornGetSession::s_stopRequested = 1;
}

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    VornGetOptions options;
    std::string error;
    if (!VornGetOptions::Parse(arguments, options, error)) {
        std::cerr << "brellin-get: " << error << "\n" << VornGetOptions::Usage();
        return VornGetSession::kBadArguments;
    }
    if (options.help) {
        std::cout << VornGetOptions::Usage();
        return 0;
    }
    VornBaseLib library;
    library.initialise();
    InstallSignals();
    VornGetSession session(options);
    return session.Run();
}
