#include "app/brellin-get/VornGetSession.h"

#include "base/VornKnownFolders.h"
#include "base/VornMime.h"
#include "base/VornText.h"
#include "base/VornUrl.h"
#include "engine/VornDownloadEngine.h"
#include "engine/VornEngineTypes.h"
#include "storage/VornProxyRecord.h"
#include "storage/VornSettings.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

volatile std::sig_atomic_t VornGetSession::s_stopRequested = 0;

namespace {

std::wstring WithSeparator(const std::filesystem::path& path) {
    std::wstring text = vornUtf8ToWide(path.string());
    if (text.empty() || text.back() != L'/') {
        text += L'/';
    }
    return text;
}

VornEngineProxy EngineProxy(int32_t kind) {
    VornProxyRecord record = VornProxyRecord::read(kind);
    VornEngineProxy proxy;
    proxy.type = record.proxyType;
    proxy.enabled = record.enabled != 0;
    proxy.host = record.address;
    proxy.port = record.port;
    proxy.user = record.userName;
    proxy.password = record.password;
    return proxy;
}

std::wstring Quoted(const std::wstring& text) {
    return L"'" + text + L"'";
}

} // namespace

VornGetSession::VornGetSession(const VornGetOptions& options) : m_options(options) {
    m_terminal = !options.quiet && isatty(STDOUT_FILENO) != 0;
}

VornGetSession::~VornGetSession() = default;

void VornGetSession::Say(const std::string& text) const {
    if (!m_options.quiet) {
        std::cout << text << std::endl;
    }
}

int VornGetSession::Run() {
    std::string error;
    if (!Prepare(error)) {
        std::cerr << "brellin-get: " << error << std::endl;
        return kBadArguments;
    }
    if (!StartEngine(error)) {
        std::cerr << "brellin-get: " << error << std::endl;
        m_database.setColumn(m_record.id, "status",
                             vornUtf8ToWide(std::string("'") + VornDatabase::kStatusError + " (0% )'"));
        m_database.setColumn(m_record.id, "errortext", Quoted(vornUtf8ToWide(error)));
        return kFailed;
    }
    return Drive();
}

bool VornGetSession::Prepare(std::string& error) {
    if (vornUrlHasLineBreak(m_options.url)) {
        // Printed escaped: the URL itself could forge lines on the terminal.
        error = "the URL \"" + vornWireTarget(m_options.url) +
                "\" holds a line break or a NUL character and is refused";
        return false;
    }
    VornUrl url;
    try {
        url = VornUrl(m_options.url);
    } catch (const std::exception&) {
        error = "the URL \"" + m_options.url + "\" cannot be read";
        return false;
    }
    if ((url.kind() != 1 && url.kind() != 2) || url.host().empty()) {
        error = "unsupported URL \"" + m_options.url + "\": brellin-get fetches http:// and https:// URLs";
        return false;
    }
    if (VornKnownFolders::dataHome().empty() || VornKnownFolders::configHome().empty()) {
        error = "no home folder is known (HOME is unset and the user has no entry in the password "
                "database): set HOME, or XDG_DATA_HOME and XDG_CONFIG_HOME, to where downloads and "
                "settings are kept";
        return false;
    }
    if (!ChooseDestination(error)) {
        return false;
    }
    if (!m_database.open(VornKnownFolders::dataFolder())) {
        error = "cannot open the download database in " + VornKnownFolders::dataFolder().string();
        return false;
    }
    return FindOrCreateDownload(error);
}

namespace {

// Whether a file can be made and written in the folder: found out before the first request, not after
// the whole file has been fetched.
bool CanWriteInto(const std::filesystem::path& folder, std::string& reason) {
    std::string probe = (folder / ".brellin-probe-XXXXXX").string();
    int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    const bool written = ::write(fd, "x", 1) == 1;
    if (!written) {
        reason = std::strerror(errno);
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return written;
}

} // namespace

bool VornGetSession::ChooseDestination(std::string& error) {
    std::string reason;
    if (m_options.outputFolder.empty()) {
        m_destination = WithSeparator(VornKnownFolders::downloadsFolder());
        if (!CanWriteInto(vornWideToUtf8(m_destination), reason)) {
            error = "cannot write into the folder " + vornWideToUtf8(m_destination) + ": " + reason;
            return false;
        }
        return true;
    }
    std::error_code failure;
    std::filesystem::path folder = std::filesystem::absolute(m_options.outputFolder, failure);
    std::filesystem::create_directories(folder, failure);
    if (!std::filesystem::is_directory(folder, failure)) {
        error = "cannot use the folder " + m_options.outputFolder;
        return false;
    }
    if (!CanWriteInto(folder, reason)) {
        error = "cannot write into the folder " + m_options.outputFolder + ": " + reason;
        return false;
    }
    m_customFolder = true;
    m_destination = WithSeparator(std::filesystem::canonical(folder, failure));
    return true;
}

bool VornGetSession::SameDestination(const std::wstring& stored) const {
    if (stored == m_destination) {
        return true;
    }
    // Once the name is known the engine stores the category folder it saves into, so a download
    // stopped after that is found below the folder the user gave.
    if (m_customFolder || !stored.starts_with(m_destination)) {
        return false;
    }
    const std::wstring rest = stored.substr(m_destination.size());
    for (const char* category : {CATEGORY_VIDEO, CATEGORY_AUDIO, CATEGORY_COMPRESSED, CATEGORY_DOCUMENT,
                                 CATEGORY_APPLICATION, CATEGORY_MISC}) {
        if (rest == vornUtf8ToWide(category) + L"/") {
            return true;
        }
    }
    return false;
}

bool VornGetSession::FindOrCreateDownload(std::string& error) {
    const VornUrl given(m_options.url);
    // A password given in the URL goes to the scrambled site credentials, never into the stored URL.
    const std::string urlText = vornUrlWithoutPassword(given.givenText());
    if (!given.password().empty()) {
        m_urlUser = vornWideToUtf8(vornPercentDecode(given.user()));
        m_urlPassword = vornWideToUtf8(vornPercentDecode(given.password()));
    }
    for (const VornListRow& row : m_database.listDownloads("all", "incomplete", "id desc")) {
        VornDownloadRecord stored = m_database.loadRecord(row.id);
        if (stored.url.givenText() == urlText && SameDestination(m_database.folderPath(row.id))) {
            m_record = stored;
            m_resume = true;
            break;
        }
    }
    if (m_resume && !LockWorkFolder(error)) {
        return false;
    }
    int32_t connections = m_options.connections > 0 ? m_options.connections : VornSettings::maxConnections();
    int64_t limit = m_options.limitKbps ? *m_options.limitKbps : VornSettings::bandWidthLimit();
    if (!m_resume) {
        int32_t id = VornSettings::nextDownloadId();
        int32_t largest = m_database.largestDownloadId();
        if (id <= largest) {
            VornSettings::writeInteger(VornSettings::kLastDownloadId, largest);
            id = VornSettings::nextDownloadId();
        }
        // A settings store that cannot be written hands out the same id again: the database decides.
        id = std::max(id, largest + 1);
        m_record = VornDownloadRecord(id, urlText, "", static_cast<uint8_t>(connections), limit, "normal");
        if (!m_database.addDownload(m_record)) {
            // Going on would update another download's row and work folder.
            error = "cannot store the download in " + m_database.path().string();
            return false;
        }
        // The folder is stored at once, so an interrupted download is found again by URL and folder.
        m_database.setColumn(id, "folderpath", Quoted(m_destination));
        if (!LockWorkFolder(error)) {
            return false;
        }
    }
    if (!m_urlPassword.empty()) {
        m_database.saveCredentials(m_record, m_urlUser, m_urlPassword);
    }
    m_record.connections = static_cast<uint8_t>(connections);
    m_record.bandwidthLimit = limit;
    m_database.setColumn(m_record.id, "connections", std::to_wstring(connections));
    m_database.setColumn(m_record.id, "bandwidthlimit", std::to_wstring(limit));
    m_database.markStarted(m_record.id);
    return true;
}

bool VornGetSession::LockWorkFolder(std::string& error) {
    const std::filesystem::path folder = VornKnownFolders::dataFolder() / std::to_string(m_record.id);
    m_workFolder = WithSeparator(folder);
    // Without its work folder there is nothing to resume: the engine starts afresh on its own.
    m_resume = m_resume && std::filesystem::exists(folder);
    if (!m_workLock.tryLock(folder)) {
        error = "download " + std::to_string(m_record.id) +
                " is running in another process (its work folder " + folder.string() + " is in use)";
        return false;
    }
    return true;
}

bool VornGetSession::StartEngine(std::string& error) {
    try {
        m_engine =
            std::make_unique<VornDownloadEngine>(&m_queue, m_record, m_workFolder, m_destination, m_resume);
    } catch (const std::exception& failure) {
        error = std::string("creating the download engine failed: ") + failure.what();
        return false;
    }
    m_engine->SetProxySettings(EngineProxy(m_record.url.kind()));
    m_engine->SetProxyReloader(&EngineProxy);
    m_engine->SetSocksVersionSelector(VornSettings::socksVersion() == 4 ? 1 : 2);
    std::string user;
    std::string password;
    if (!m_urlPassword.empty()) {
        user = m_urlUser;
        password = m_urlPassword;
    } else if (!m_database.findCredentials(m_record, user, password) || user.empty()) {
        user = vornWideToUtf8(vornPercentDecode(m_record.url.user()));
        password = vornWideToUtf8(vornPercentDecode(m_record.url.password()));
    }
    m_engine->SetCredentials(user, password);
    m_engine->SetConnectionsAtOnce(VornSettings::connectionsAtOnce());
    bool categories = !m_customFolder && VornSettings::categoryFolders();
    m_engine->SetCategoryFoldersReader([categories] { return categories ? 1 : 2; });
    if (!m_engine->Start()) {
        error = "the download engine failed to start";
        m_engine.reset();
        return false;
    }
    return true;
}
