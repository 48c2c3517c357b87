#include "browserlink/VornWebSocketServer.h"

#include "tests/support/NginxServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebSocketClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kSource = BRELLIN_SOURCE_DIR;
const std::string kDriver = kSource + "/tests/support/BrowserExtensionDriver.py";
// At this rate the downloads run for minutes, so the browser still holds them when the answer comes.
constexpr int64_t kSlowRate = 64 * 1024;
constexpr size_t kFileSize = 16 * 1024 * 1024;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool hasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

struct BrowserCase {
    const char* name;
    const char* program;
    // What the driver loads: the unpacked folder (Chromium) or the .zip (Firefox, as a temporary add-on).
    const char* package;
    const char* userAgentMark;
    // The id the driver reports: fixed by the manifest's key (Chromium) or by the gecko id (Firefox).
    const char* extensionId;
};

class ExtensionBrowserTest : public ::testing::TestWithParam<BrowserCase> {};

// A real browser with the packaged extension, a page on nginx and the real link server: a click on a link
// reaches the server as a capture; only an "accepted" answer takes the download from the browser.
TEST_P(ExtensionBrowserTest, ClickedDownloadsReachTheLinkAndOnlyAcceptedOnesLeaveTheBrowser) {
    const BrowserCase& browser = GetParam();
    if (access(browser.program, X_OK) != 0)
        GTEST_SKIP() << browser.program << " is not installed";
    if (!NginxServer::available())
        GTEST_SKIP() << "nginx is not installed";

    NginxServer::Options options;
    options.slowRateBytes = kSlowRate;
    options.extraServerConfig = "    location = /index.html { default_type text/html; "
                                "add_header Set-Cookie \"session=brellin42; Path=/\"; }\n";
    NginxServer nginx(options);
    for (const char* name : {"accepted", "off", "waiting", "refused", "down"})
        nginx.writeRandomFile(std::string("slow/") + name + ".bin", kFileSize);
    std::ofstream(nginx.root() / "index.html")
        << "<!DOCTYPE html><html><head><title>Brellin test page</title></head><body>"
           "<a href=\"/slow/accepted.bin\">Accepted file</a> <a href=\"/slow/refused.bin\">Refused file</a> "
           "<a href=\"/slow/down.bin\">File while the link is down</a> <a href=\"/slow/off.bin\">Off</a> "
           "<a href=\"/slow/waiting.bin\">Waited for</a></body></html>";
    ASSERT_TRUE(nginx.start()) << nginx.error();

    VornMessageQueue window;
    VornWebSocketServer server(window, 0);
    ASSERT_TRUE(server.start());
    const uint16_t linkPort = server.waitForListener(30s);
    ASSERT_NE(linkPort, 0);

    TempDir work;
    const std::string package =
        "'" + kSource + "/scripts/package-extension.sh' '" + (work / "ext").string() + "' >/dev/null";
    ASSERT_EQ(std::system(package.c_str()), 0);

    WebSocketClient driver(kDriver, linkPort,
                           {browser.name, nginx.url("/index.html"), (work / "ext" / browser.package).string(),
                            work.path().string()});
    // The program starts waiting for a fresh link while the extension has capture turned off.
    std::string line;
    do
        line = driver.readLine(std::chrono::seconds(240));
    while (!line.empty() && line != "ready for waiting");
    ASSERT_EQ(line, "ready for waiting") << driver.output();
    server.SetWaiting(true);
    driver.writeLine("go");
    const bool succeeded = driver.succeeded(std::chrono::seconds(300));
    EXPECT_TRUE(succeeded) << driver.output();
    std::cout << driver.output();
    EXPECT_NE(driver.output().find(std::string("step extension ") + browser.extensionId), std::string::npos)
        << driver.output();

    const auto message = window.tryTake();
    ASSERT_TRUE(message) << driver.output();
    EXPECT_EQ(message->id, WM_BROWSER_MESSAGE);
    const auto lines = linesOf(message->text);
    const std::string all = message->text;
    // The server's own first line carries the browser's handshake user agent.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("User-Agent:", 0), 0u) << all;
    EXPECT_NE(lines[0].find(browser.userAgentMark), std::string::npos) << all;
    EXPECT_TRUE(has(lines, "1:GET")) << all;
    EXPECT_TRUE(has(lines, "2:" + nginx.url("/slow/accepted.bin"))) << all;
    EXPECT_TRUE(has(lines, "4:Brellin test page")) << all;
    EXPECT_TRUE(has(lines, "5:" + nginx.url("/index.html"))) << all;
    EXPECT_TRUE(has(lines, "6:normal")) << all;
    EXPECT_TRUE(has(lines, "7:" + std::to_string(kFileSize))) << all;
    EXPECT_TRUE(has(lines, "8:application/octet-stream")) << all;
    EXPECT_TRUE(has(lines, "Referer: " + nginx.url("/index.html"))) << all;
    EXPECT_TRUE(has(lines, "Cookie: session=brellin42")) << all;
    EXPECT_TRUE(hasPrefix(lines, "User-Agent:Mozilla/5.0")) << all;
    EXPECT_EQ(all.find("__0VornPostData9__"), std::string::npos) << all;
    // Then the capture the waiting program got, whatever the options said; the others went to the scripted
    // link or nowhere.
    const auto waited = window.tryTake();
    ASSERT_TRUE(waited) << driver.output();
    EXPECT_TRUE(has(linesOf(waited->text), "2:" + nginx.url("/slow/waiting.bin"))) << waited->text;
    EXPECT_FALSE(window.tryTake());
}

INSTANTIATE_TEST_SUITE_P(Browsers, ExtensionBrowserTest,
                         ::testing::Values(BrowserCase{"chromium", "/usr/bin/chromium", "chromium", "Chrome/",
                                                       "mhondkgioghnjmobimhljnpapkgniihh"},
                                           BrowserCase{"firefox", "/usr/bin/firefox-esr",
                                                       "brellin-firefox.zip", "Firefox/",
                                                       "browser-link@brellin"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
