// Any text a user pastes or a browser hands over must parse without crashing and give a URL whose
// parts agree with each other.
#include "base/VornException.h"
#include "base/VornUrl.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool wireSafe(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= 32 || static_cast<unsigned char>(c) > 126) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const VornUrl url(text);
        check(url.kind() >= URL_KIND_UNSUPPORTED && url.kind() <= URL_KIND_FTP);
        check(url.secure() == (url.kind() == URL_KIND_HTTPS ? 1 : 0));
        check(url.kind() == URL_KIND_UNSUPPORTED || url.port() != 0);
        // The wire host never carries blanks, control characters or raw non-ASCII bytes.
        check(wireSafe(url.host()));
        if (!url.fullUrl().empty()) {
            check(url.fullUrl().rfind(url.scheme() + "://" + url.host(), 0) == 0);
            check(url.requestTarget().rfind('/', 0) == 0);
            check(url.directory().rfind('/', 0) == 0 && url.directory().back() == '/');
            check(url.fileName().find('/') == std::string::npos);
            check(url.fileName().find(';') == std::string::npos);
        }
        const VornUrl copy = url;
        check(copy.fullUrl() == url.fullUrl() && copy.givenText() == url.givenText());
        (void)url.hostWithPort(true, true);
        (void)url.saveName();
        (void)url.protocolName();
    } catch (const VornException& e) {
        // Only the conversion of an internationalised host may refuse a text.
        check(e.code() == 2 || e.code() == 12);
    }
    return 0;
}
