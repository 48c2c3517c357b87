#include "storage/VornProxyRecord.h"
#include "storage/VornSettings.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace {

class ProxyRecords : public ::testing::Test {
protected:
    TempHome m_home;
};

TEST_F(ProxyRecords, PrefixesByProtocolNumber) {
    struct Case {
        int32_t protocol;
        const char* prefix;
    } cases[] = {{1, "HTTP"}, {2, "HTTPS"}, {3, "FTP"}, {0, "UNKOWN"}, {4, "UNKOWN"}, {-1, "UNKOWN"}};
    for (const Case& c : cases) {
        EXPECT_EQ(VornProxyRecord::prefix(c.protocol), c.prefix) << c.protocol;
    }
}

TEST_F(ProxyRecords, MissingRecordsAreOffWithEmptyFields) {
    for (int32_t protocol : {1, 2, 3}) {
        VornProxyRecord record = VornProxyRecord::read(protocol);
        EXPECT_EQ(record.enabled, 0);
        EXPECT_EQ(record.proxyType, VornProxyRecord::kTypeHttp);
        EXPECT_EQ(record.address, "");
        EXPECT_EQ(record.port, 0);
        EXPECT_EQ(record.userName, "");
        EXPECT_EQ(record.password, "");
    }
}

TEST_F(ProxyRecords, RoundTripWithTheStoredPasswordScrambled) {
    VornProxyRecord written;
    written.proxyType = VornProxyRecord::kTypeSocks;
    written.enabled = 1;
    written.address = "proxy.example";
    written.port = 1080;
    written.userName = "ann";
    written.password = "s3cret'\"; %";
    ASSERT_TRUE(VornProxyRecord::write(2, written));

    VornProxyRecord read = VornProxyRecord::read(2);
    EXPECT_EQ(read.proxyType, written.proxyType);
    EXPECT_EQ(read.enabled, 1);
    EXPECT_EQ(read.address, written.address);
    EXPECT_EQ(read.port, written.port);
    EXPECT_EQ(read.userName, written.userName);
    EXPECT_EQ(read.password, written.password);

    std::string stored = VornSettings::readText("HTTPS_PassWord", "");
    EXPECT_EQ(stored.size(), 172u);
    EXPECT_EQ(readWholeFile(VornSettings::file().path()).find("s3cret"), std::string::npos);
    // The enabled field is the protocol's own activation flag, and other protocols stay untouched.
    EXPECT_TRUE(VornSettings::readFlag01("HTTPS_IsActive"));
    EXPECT_EQ(VornProxyRecord::read(1).address, "");
}

TEST_F(ProxyRecords, StoredValuesAreReadByTheirRules) {
    VornSettings::writeInteger("FTP_IsActive", 2);
    VornSettings::writeInteger("FTP_ProxyPort", 0x12345);
    VornSettings::writeInteger("FTP_ProxyType", -7);
    VornSettings::writeText("FTP_PassWord", " not base64");
    VornProxyRecord record = VornProxyRecord::read(3);
    EXPECT_EQ(record.enabled, 0);
    EXPECT_EQ(record.port, 0x2345);
    EXPECT_EQ(record.proxyType, -7);
    EXPECT_EQ(record.password, "");
}

TEST_F(ProxyRecords, TurningARecordOffKeepsItsFields) {
    VornProxyRecord record;
    record.enabled = 1;
    record.address = "proxy.lan";
    record.port = 3128;
    ASSERT_TRUE(VornProxyRecord::write(1, record));
    record.enabled = 0;
    ASSERT_TRUE(VornProxyRecord::write(1, record));
    VornProxyRecord read = VornProxyRecord::read(1);
    EXPECT_EQ(read.enabled, 0);
    EXPECT_FALSE(VornSettings::readFlag01("HTTP_IsActive"));
    EXPECT_EQ(read.address, "proxy.lan");
    EXPECT_EQ(read.port, 3128);
}

TEST_F(ProxyRecords, APasswordTooLongToScrambleKeepsTheStoredRecord) {
    VornProxyRecord record;
    record.enabled = 1;
    record.address = "proxy.lan";
    record.password = "short";
    ASSERT_TRUE(VornProxyRecord::write(1, record));
    record.address = "other.lan";
    record.password = std::string(101, 'x');
    EXPECT_FALSE(VornProxyRecord::write(1, record));
    VornProxyRecord read = VornProxyRecord::read(1);
    EXPECT_EQ(read.address, "proxy.lan");
    EXPECT_EQ(read.password, "short");
}

} // namespace
