#pragma once

#include "protocols/VornAuth.h"

// Basic (RFC 7617): user and password in Base64, sent once; a second challenge means they were refused.
class VornAuthBasic : public VornAuth {
public:
    VornAuthBasic(const std::string& challenge, const std::string& uri, int32_t kind, const std::string& user,
                  const std::string& password);
    void SetCredentials(const std::string& user, const std::string& password) override;
    bool BuildHeader(int32_t round, const std::string& challengeLine, std::string& headerLine) override;

private:
    std::string m_headerLine;
};
