#include "base/VornBaseLib.h"
#include "base/VornError.h"
#include "base/VornException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

class ErrorTable : public ::testing::Test {
protected:
    void SetUp() override { vornLoadErrorStrings(); }
    void TearDown() override { vornUnloadErrorStrings(); }
};

std::string systemPart(int code) { return " System error " + std::to_string(code) + " [" + strerror(code) + "]."; }

TEST_F(ErrorTable, DescribesCodesWithTheirMessages) {
    struct Case {
        int code;
        const char* message;
    } cases[] = {
        {0, "No error."},
        {2, "Invalid argumnet."},
        {3, "The object already exist."},
        {34, "The object already exist."},
        {11, "Uvornpected End of Line."},
        {404, "The network-connection was shut down \"hard\"."},
        {801, "Failed to parse Webm file"},
        {900, "Regex failed with an exception."},
        {10, "*** Missing error description ***"},
        {54, "*** Missing error description ***"},
        {103, "*** Missing error description ***"},
        {-1, "*** Missing error description ***"},
    };
    for (const Case& c : cases) {
        VornError error(c.code, 0);
        EXPECT_EQ(error.describe(), "Error " + std::to_string(c.code) + " [" + c.message + "]." + systemPart(0))
            << c.code;
    }
}

TEST_F(ErrorTable, SystemCodeTextComesFromTheRuntime) {
    VornError error(9, ENOENT);
    EXPECT_EQ(error.systemText(), strerror(ENOENT));
    EXPECT_EQ(error.describe(), "Error 9 [Closed.]." + systemPart(ENOENT));
}

TEST_F(ErrorTable, SystemErrorTakesErrnoAtConstruction) {
    errno = EACCES;
    VornSystemError error(8);
    errno = 0;
    EXPECT_EQ(error.systemCode(), EACCES);
    EXPECT_EQ(error.code(), 8);
}

TEST_F(ErrorTable, ExceptionWhatAppendsContextAfterOneBlank) {
    VornException withContext(VornError(1, 0), "socket()", 42, "base/VornSocket.cpp");
    EXPECT_EQ(std::string(withContext.what()), "Error 1 [System error.]." + systemPart(0) + " socket()");
    EXPECT_EQ(withContext.context(), "socket()");
    EXPECT_STREQ(withContext.sourceFile(), "base/VornSocket.cpp");
    EXPECT_EQ(withContext.line(), 42);

    VornException noContext(VornError(1, 0), nullptr, 7, "x");
    EXPECT_EQ(noContext.context(), "");
    EXPECT_EQ(std::string(noContext.what()), "Error 1 [System error.]." + systemPart(0));
}

TEST_F(ErrorTable, CopyKeepsEveryField) {
    VornException original(VornError(701, ENOSPC), "write", 3, "f.cpp");
    VornException copy = original;
    EXPECT_STREQ(copy.what(), original.what());
    EXPECT_EQ(copy.systemCode(), ENOSPC);
    EXPECT_EQ(copy.line(), 3);
    EXPECT_STREQ(copy.sourceFile(), "f.cpp");
}

TEST(ErrorTableUnloaded, LookupGivesTheNotLoadedSentinel) {
    vornUnloadErrorStrings();
    EXPECT_EQ(vornErrorMessage(0), "*** The Error Strings are not loaded ***");
    EXPECT_EQ(VornError(5, 0).describe(), "Error 5 [*** The Error Strings are not loaded ***]." + systemPart(0));
}

TEST(BaseLib, InitialiseLoadsTheTableAndTeardownUnloadsIt) {
    {
        VornBaseLib lib;
        lib.initialise();
        EXPECT_TRUE(lib.initialised());
        EXPECT_EQ(vornErrorMessage(9), "Closed.");
    }
    EXPECT_EQ(vornErrorMessage(9), "*** The Error Strings are not loaded ***");
}

} // namespace
