// SPDX-License-Identifier: MIT
// CFile on either platform (this suite is cross-built and run under Wine
// too): where it throws, what an open leaves behind, and what ends up in the
// file.
#include "platform/platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

// Runs `action` and returns the cause of the CFileException it throws, or -1.
template <typename Action> int CauseOfThrow(Action action) {
    try {
        action();
    } catch (CFileException* e) {
        const int cause = e->m_cause;
        e->Delete();
        return cause;
    }
    return -1;
}

TEST(PlatformFile, ThrowsWhereTheFrameworkClassDoes) {
    kxtest::TempDir dir;
    CFile file;
    const char bytes[4] = {'R', 'I', 'F', 'F'};
    EXPECT_NE(CauseOfThrow([&] { file.Write(bytes, 4); }), -1) << "write while not open";
    EXPECT_NE(CauseOfThrow([&] { file.Seek(4, CFile::begin); }), -1) << "seek while not open";
    EXPECT_NE(CauseOfThrow([&] { file.SetLength(0); }), -1) << "set length while not open";
    EXPECT_EQ(CauseOfThrow([&] { file.Close(); }), -1) << "closing a closed file is no error";

    const std::string path = dir.File("out.wav");
    ASSERT_TRUE(
        file.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareDenyNone));
    EXPECT_EQ(CauseOfThrow([&] { file.Write(bytes, 4); }), -1);
    EXPECT_EQ(CauseOfThrow([&] { file.Seek(-10, CFile::begin); }), CFileException::badSeek);
    EXPECT_EQ(file.Seek(1, CFile::begin), 1u);
    file.Write("XY", 2);
    EXPECT_EQ(file.GetLength(), 4u);
    file.SetLength(3);
    EXPECT_EQ(file.Seek(0, CFile::current), 3u) << "the position stays where the write left it";
    EXPECT_EQ(file.Seek(0, CFile::end), 3u);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_NE(CauseOfThrow([&] { file.Write(bytes, 4); }), -1) << "write after close";
    EXPECT_EQ(kxtest::ReadFile(path), (kxtest::Bytes{'R', 'X', 'Y'}));

    CFile reader;
    ASSERT_TRUE(reader.Open(path.c_str(), CFile::modeRead));
    EXPECT_NE(CauseOfThrow([&] { reader.Write(bytes, 4); }), -1) << "write refused by the system";
}

// The recorder's header updates: a positional write never moves where the
// next append goes, also after it failed.
TEST(PlatformFile, WriteAtLeavesTheAppendsAtTheEnd) {
    kxtest::TempDir dir;
    const std::string path = dir.File("out.wav");
    CFile file;
    EXPECT_NE(CauseOfThrow([&] { file.WriteAt(0, "AB", 2); }), -1) << "while not open";
    EXPECT_FALSE(file.IsRegularFile()) << "while not open";
    ASSERT_TRUE(
        file.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareDenyNone));
    EXPECT_TRUE(file.IsRegularFile());
    file.Write("abcdef", 6);
    file.WriteAt(1, "XY", 2);
    file.Write("g", 1);
    file.Write("h", 1);
    file.Close();
    EXPECT_EQ(kxtest::ReadFile(path), (kxtest::Bytes{'a', 'X', 'Y', 'd', 'e', 'f', 'g', 'h'}));

    CFile reader;
    ASSERT_TRUE(reader.Open(path.c_str(), CFile::modeRead));
    EXPECT_NE(CauseOfThrow([&] { reader.WriteAt(0, "AB", 2); }), -1) << "refused by the system";
}

TEST(PlatformFile, OpenFailsWithoutThrowingAndCreateTruncatesUnlessTold) {
    kxtest::TempDir dir;
    const std::string path = dir.File("data.raw");
    CFile file;
    CFileException error(CFileException::none, 0);
    EXPECT_FALSE(file.Open(nullptr, CFile::modeCreate | CFile::modeWrite));
    EXPECT_FALSE(file.Open("", CFile::modeCreate | CFile::modeWrite, &error));
    EXPECT_NE(error.m_cause, CFileException::none);
    EXPECT_FALSE(
        file.Open(dir.File("missing/x.wav").c_str(), CFile::modeCreate | CFile::modeWrite));
    EXPECT_FALSE(file.Open(path.c_str(), CFile::modeWrite, &error)) << "no create, no file";
    EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
    EXPECT_FALSE(file.IsOpen());

    kxtest::WriteFile(path, {1, 2, 3, 4});
    ASSERT_TRUE(
        file.Open(path.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite));
    EXPECT_EQ(file.GetLength(), 4u);
    file.Write("\x09", 1);
    file.Close();
    EXPECT_EQ(kxtest::ReadFile(path), (kxtest::Bytes{9, 2, 3, 4}));

    ASSERT_TRUE(file.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite));
    EXPECT_EQ(file.GetLength(), 0u);
    file.Close();
}

} // namespace
