#pragma once

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QWidget>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

// The Qt side of the window tests: one QApplication on the offscreen platform for the whole test
// program, with HOME, the XDG folders and the runtime folder in a temporary folder of its own, so that
// the database, settings and single-instance socket never touch the user's.
class UiTestEnvironment final : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;

    static std::filesystem::path Home();
    static std::filesystem::path RuntimeDir();

private:
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<QApplication> m_application;
};

inline ::testing::Environment* const kUiTestEnvironment =
    ::testing::AddGlobalTestEnvironment(new UiTestEnvironment);

// Runs the event loop until the condition holds or the time is up; answers the condition.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
// Writes a PNG of the window to the build's screenshots folder and names it in the test log.
std::filesystem::path SaveScreenshot(QWidget* window, const std::string& name);
// Deletes what deleteLater left, so each test ends without windows.
void FlushDeletes();
