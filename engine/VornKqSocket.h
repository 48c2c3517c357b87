#pragma once

#include "base/VornSocket.h"

#include <string>

// A socket that an event queue serves: the queue calls its readiness callbacks on the owning thread.
class VornKqSocket : public VornSocket {
public:
    // A connect in progress has completed: records the activity and marks the socket connected.
    virtual void OnWritable();
    virtual void OnSocketError(const std::wstring& text) = 0;
    virtual void OnReadable() = 0;

    // Reads and discards whatever waits on the socket. True when the connection is alive and now empty,
    // false when the peer closed it or it failed.
    bool drain();
};
