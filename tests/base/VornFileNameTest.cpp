#include "base/VornFileName.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace {

TEST(VornFileName, ValidNameReplacesWhatFilesystemsRefuse) {
    const struct {
        std::wstring name;
        bool replaceDots;
        std::wstring expected;
    } cases[] = {
        {L"a:b?c@d%e\tf", false, L"a_b_c_d_e_f"},
        {L"say \"hi\".txt", false, L"say hi.txt"},
        {L"..hidden", false, L"_.hidden"},
        {L"a/b\\c*d<e>f|g", false, L"a_b_c_d_e_f_g"},
        {L"v1.2.zip", true, L"v1_2_zip"},
        {L".x", true, L"_x"},
        {L"caf\u00e9 \u4e2d.mp4", false, L"caf\u00e9 \u4e2d.mp4"},
        {L"\"", false, L""},
        {L"\".x", false, L"_x"}, // the quote goes first, then the leading dot is seen
        {L"line\nbreak\x7f", false, L"line_break\x7f"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vornValidFileName(c.name, c.replaceDots), c.expected);
    }
    EXPECT_EQ(vornValidFileName(std::string("a:b \xC3\xA9.txt"), false), "a_b \xC3\xA9.txt");
    EXPECT_EQ(vornValidFileName(std::string(".a.b"), true), "_a_b");
}

TEST(VornFileName, ExtensionAndBaseName) {
    const struct {
        std::wstring name;
        std::wstring extension;
        std::wstring base;
    } cases[] = {
        {L"archive.tar.gz", L"gz", L"archive.tar"},
        {L"photo.jpeg?", L"", L"photo"},
        {L"README", L"", L"README"},
        {L" spaced .  mp4 ", L"mp4", L"spaced"},
        {L"  README  ", L"", L"  README  "},
        {L"x.y!z", L"", L"x"},
        {L"name.", L"", L"name"},
        {L".bashrc", L"bashrc", L""},
        {L"a.my_ext-2", L"my_ext-2", L"a"},
        {L"a.\u00e9", L"", L"a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vornFileExtension(c.name), c.extension);
        EXPECT_EQ(vornFileBaseName(c.name), c.base);
    }
    EXPECT_EQ(vornFileExtension(std::string("a.MKV")), "MKV");
    EXPECT_EQ(vornFileExtension(std::string("a.b\xC3\xA9")), "");
    EXPECT_EQ(vornFileBaseName(std::string("archive.tar.gz")), "archive.tar");
}

TEST(VornFileName, UniqueNameSkipsExistingFiles) {
    TempDir dir;
    const std::wstring folder = dir.path().wstring() + L"/";
    EXPECT_EQ(vornUniqueFileName(L"report.pdf", folder), L"report(1).pdf");

    writeWholeFile(dir / "report(1).pdf", "x");
    EXPECT_EQ(vornUniqueFileName(L"report.pdf", folder), L"report(2).pdf");
    // The folder is accepted with or without its trailing separator.
    EXPECT_EQ(vornUniqueFileName(L"report.pdf", dir.path().wstring()), L"report(2).pdf");

    // A folder of the candidate's name does not count as taken.
    std::filesystem::create_directory(dir / "notes(1).txt");
    EXPECT_EQ(vornUniqueFileName(L"notes.txt", folder), L"notes(1).txt");

    // An extension that does not count is lost.
    EXPECT_EQ(vornUniqueFileName(L"x.y!z", folder), L"x(1)");
    EXPECT_EQ(vornUniqueFileName(L"README", folder), L"README(1)");
}

} // namespace
