#include "base/VornBaseLib.h"

#include "base/VornError.h"
#include "base/VornException.h"

#include <clocale>
#include <csignal>

VornBaseLib::~VornBaseLib() {
    if (m_initialised)
        unloadErrorStringsAndStopSockets();
}

void VornBaseLib::initialise() {
    setLocale();
    try {
        loadErrorStrings();
    } catch (VornException&) {
        throw;
    }
    startSockets();
    m_initialised = true;
}

void VornBaseLib::setLocale() {
    // A fresh machine may have only C.UTF-8; no conversion in the program depends on the locale.
    if (!std::setlocale(LC_ALL, "en_US.UTF-8"))
        std::setlocale(LC_ALL, "C.UTF-8");
}

void VornBaseLib::loadErrorStrings() { vornLoadErrorStrings(); }

void VornBaseLib::startSockets() {
    // A peer that closes its end must never kill the process through SIGPIPE.
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGPIPE, &action, nullptr) != 0)
        VORN_THROW_SYSTEM(1, "WSAStartup() failed");
}

void VornBaseLib::unloadErrorStringsAndStopSockets() {
    unloadErrorStrings();
    stopSockets();
    m_initialised = false;
}

void VornBaseLib::unloadErrorStrings() { vornUnloadErrorStrings(); }

void VornBaseLib::stopSockets() {}
