#pragma once

#include <string>

// The side of a connection that a segment talks to: the engine socket implements it, tests fake it.
class VornSegmentClient {
public:
    virtual ~VornSegmentClient() = default;

    // The connection's number + 1 as text, as log lines show it.
    virtual std::string IdText() const = 0;
    virtual bool IsReceivingBody() const = 0;
    virtual bool Reset(bool restart, bool keepSlot) = 0;
    // The segment lets go of the connection: close its segment file and forget the segment.
    virtual void ReleaseSegment() = 0;
};
