#pragma once

// Brackets the whole program: selects the locale, loads the error table and prepares the socket layer.
// One instance, created at the start of main and destroyed at its end.
class VornBaseLib {
public:
    VornBaseLib() = default;
    virtual ~VornBaseLib();
    VornBaseLib(const VornBaseLib&) = delete;
    VornBaseLib& operator=(const VornBaseLib&) = delete;

    virtual void initialise();
    virtual void setLocale();
    virtual void loadErrorStrings();
    virtual void startSockets();
    virtual void unloadErrorStringsAndStopSockets();
    virtual void unloadErrorStrings();
    virtual void stopSockets();

    bool initialised() const { return m_initialised; }

private:
    bool m_initialised = false;
};
