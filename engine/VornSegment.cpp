#include "engine/VornSegment.h"

#include "engine/VornSegmentClient.h"
#include "engine/VornSegmentManager.h"

#include <algorithm>

VornSegment::VornSegment(VornSegmentManager* manager, uint16_t fileNumber, int64_t start, int64_t end,
                         int32_t next, std::string pieceUrl)
    : m_pieceUrl(std::move(pieceUrl)), m_start(start), m_end(end), m_length(end - start + 1),
      m_fileNumber(fileNumber), m_next(next), m_manager(manager) {
    if (manager->IsTsMode())
        m_index = fileNumber;
}

std::wstring VornSegment::SegmentFilePath() const {
    return m_manager->TemporaryFolder() + L"seg.x" + std::to_wstring(m_fileNumber);
}

bool VornSegment::AddProgress(int64_t n) {
    m_received += n;
    m_manager->AddDownloaded(n);
    m_manager->MarkChanged(m_index);
    if (m_received >= m_length) {
        SetStatus(SEGMENT_COMPLETED, true);
        return true;
    }
    if (m_length - m_received < VornSegmentManager::ROLLBACK_WINDOW)
        m_manager->SpecialRollBack(this);
    return false;
}

void VornSegment::SetStatus(int32_t status, bool fromProgress) {
    if (status == m_status)
        return;
    int32_t old = m_status;
    m_status = status;
    if (old == SEGMENT_COMPLETED)
        m_manager->UncountCompletion(this);
    if (status == SEGMENT_COMPLETED)
        m_manager->CountCompletion(this);
    if (fromProgress)
        m_manager->MarkChanged(m_index);
    else
        m_manager->CheckFinished();
}

void VornSegment::SetEnd(int64_t end, bool persist) {
    m_end = end;
    m_length = end - m_start + 1;
    if (m_received >= m_length && m_status != SEGMENT_COMPLETED)
        SetStatus(SEGMENT_COMPLETED, false);
    if (persist && m_manager->IsTsMode())
        m_manager->UpdateTsRecord(m_index);
}

void VornSegment::SetProgress(int64_t received, int32_t status) {
    if (received > m_length)
        received = m_length;
    if (received < 0)
        received = 0;
    m_manager->AddDownloaded(received - m_received);
    m_received = received;
    m_stored = std::min(m_stored, received);
    if (m_received == m_length)
        status = SEGMENT_COMPLETED;
    SetStatus(status, false);
}

void VornSegment::Attach(VornSegmentClient* connection) {
    if (connection) {
        m_connection = connection;
        if (m_status != SEGMENT_ACTIVE)
            SetStatus(SEGMENT_ACTIVE, false);
        return;
    }
    DetachConnection();
    if (m_received >= m_length) {
        SetStatus(SEGMENT_COMPLETED, false);
        return;
    }
    // The first range keeps its place while others exist; it waits for the next connection.
    if (m_manager->IsTsMode() || m_received > 0 || (m_index == 0 && m_manager->SegmentCount() > 1)) {
        SetStatus(SEGMENT_PENDING, false);
        return;
    }
    m_manager->RollBackSegment(this);
}

void VornSegment::DetachConnection() {
    VornSegmentClient* connection = m_connection;
    m_connection = nullptr;
    if (connection)
        connection->ReleaseSegment();
}

std::string VornSegment::ConnectionNumberText() const {
    return m_connection ? m_connection->IdText() : " ";
}
