// File handles, file-system operations and the path and whole-file helpers, on real files in a
// fresh folder under the temporary folder.
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlog.h"
#include "common/containers/zmemorybuffer.h"
#include "common/containers/zstringarray.h"
#include <gtest/gtest.h>
#include "testhelpers.h"
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace
{

using ivltest::ReadWholeFile;

void WriteText(const std::string& sPath, const std::string& sText)
{
    ASSERT_TRUE(ivltest::WriteWholeFile(sPath, sText)) << sPath;
}

std::set<std::string> ToSet(const ZStringArray& names)
{
    std::set<std::string> result;
    for (unsigned i = 0; i < names.Size(); ++i)
        result.insert(names.At(i)->c_str());
    return result;
}

class FileTest : public ::testing::Test
{
protected:
    std::string At(const std::string& sName) const { return m_sRoot + "\\" + sName; }

    static void SetReadOnly(const std::string& sPath)
    {
        ASSERT_TRUE(SetFileAttributesW(ivltest::Wide(sPath).c_str(), FILE_ATTRIBUTE_READONLY));
    }

    ivltest::TempFolder m_Folder;
    const std::string m_sRoot = m_Folder.Path();
};

// Open modes

TEST_F(FileTest, OpenModeTableOpensOnlyTheValidSets)
{
    struct ModeCase
    {
        int nMode;
        bool bReadable, bWritable;
    };
    const ModeCase aValid[] = {
        {1, true, false},  {3, true, true},  {6, false, true},  {7, true, true},  {10, false, true}, {11, true, true},
        {17, true, false}, {19, true, true}, {22, false, true}, {23, true, true}, {26, false, true}, {27, true, true},
    };
    std::string sPath = At("modes.bin");
    for (int nMode = 0; nMode < 64; ++nMode) {
        WriteText(sPath, "abc");
        const ModeCase* pCase = nullptr;
        for (const ModeCase& c : aValid)
            if (c.nMode == nMode)
                pCase = &c;
        File file = File::Open(sPath.c_str(), nMode);
        if (!pCase) {
            EXPECT_FALSE(file.IsOpen()) << "mode " << nMode;
            continue;
        }
        ASSERT_TRUE(file.IsOpen()) << "mode " << nMode;
        EXPECT_EQ(pCase->bReadable, file.IsReadable()) << "mode " << nMode;
        EXPECT_EQ(pCase->bWritable, file.IsWritable()) << "mode " << nMode;
        file.Close();
        // Create truncates; append and plain read/write keep the old bytes.
        int64_t nExpected = (nMode & File::MODE_CREATE) ? 0 : 3;
        EXPECT_EQ(nExpected, File::GetSize(sPath.c_str())) << "mode " << nMode;
    }
    EXPECT_FALSE(File::Open(At("missing.bin").c_str(), 1).IsOpen());
    EXPECT_FALSE(File::Open(At("missing.bin").c_str(), 3).IsOpen());
}

TEST_F(FileTest, OpenModesReadWriteAppendAndText)
{
    std::string sPath = At("data.txt");
    {
        File file = File::Open(sPath.c_str(), 22);  // text: "\n" becomes CR LF
        ASSERT_TRUE(file.IsOpen());
        EXPECT_EQ(6u, file.Write("ab\ncd\n", 6));
    }
    EXPECT_EQ("ab\r\ncd\r\n", ReadWholeFile(sPath));
    {
        File file = File::Open(sPath.c_str(), 10);
        ASSERT_TRUE(file.IsOpen());
        EXPECT_TRUE(file.PutChar('x'));
        EXPECT_EQ(4, file.Printf("%d-%s", 7, "yz"));
    }
    EXPECT_EQ("ab\r\ncd\r\nx7-yz", ReadWholeFile(sPath));
    {
        File file = File::Open(sPath.c_str(), 17);
        char aLine[16] = {0};
        EXPECT_EQ(11u, file.Read(aLine, sizeof(aLine)));  // CR LF read back as "\n"
        EXPECT_STREQ("ab\ncd\nx7-yz", aLine);
        EXPECT_TRUE(file.IsEof());
    }
    {
        File file = File::Open(sPath.c_str(), 3);
        ASSERT_TRUE(file.IsOpen());
        EXPECT_EQ('a', file.GetChar());
        EXPECT_TRUE(file.SeekEnd());
        EXPECT_EQ(13, file.Tell());
        EXPECT_TRUE(file.Seek(4));
        EXPECT_EQ('c', file.GetChar());
        EXPECT_TRUE(file.Seek(4));
        EXPECT_TRUE(file.Truncate());
        EXPECT_TRUE(file.Rewind());
        EXPECT_EQ('a', file.GetChar());
    }
    EXPECT_EQ(4, File::GetSize(sPath.c_str()));
}

TEST_F(FileTest, CreateClearsReadOnlyAndTruncates)
{
    std::string sPath = At("locked.bin");
    WriteText(sPath, "old contents");
    SetReadOnly(sPath);
    EXPECT_TRUE(File::IsReadOnly(sPath.c_str()));
    // Without the create bit the attribute stays. (Wine running as root lets such an open
    // write anyway, so only the attribute is checked.)
    File::Open(sPath.c_str(), 3);
    EXPECT_TRUE(File::IsReadOnly(sPath.c_str()));

    File file = File::Open(sPath.c_str(), 6);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_FALSE(File::IsReadOnly(sPath.c_str()));
    EXPECT_EQ(3u, file.Write("new", 3));
    file.Close();
    EXPECT_EQ("new", ReadWholeFile(sPath));
}

TEST_F(FileTest, OpenFileDeniesOtherWriters)
{
    std::string sPath = At("shared.bin");
    WriteText(sPath, "x");
    File writer = File::Open(sPath.c_str(), 3);
    ASSERT_TRUE(writer.IsOpen());
    EXPECT_FALSE(File::Open(sPath.c_str(), 3).IsOpen());
    EXPECT_FALSE(File::Open(sPath.c_str(), 10).IsOpen());
    // A reader that shares writing may read; File::Open itself always denies writers, so its
    // readers cannot join a writer.
    HANDLE hReader = File::OpenHandle(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_NE(INVALID_HANDLE_VALUE, hReader);
    CloseHandle(hReader);
    EXPECT_FALSE(File::Open(sPath.c_str(), 1).IsOpen());
    writer.Close();

    File reader = File::Open(sPath.c_str(), 1);
    EXPECT_TRUE(reader.IsOpen());
    EXPECT_TRUE(File::Open(sPath.c_str(), 1).IsOpen());
    EXPECT_FALSE(File::Open(sPath.c_str(), 3).IsOpen());
    reader.Close();
    EXPECT_TRUE(File::Open(sPath.c_str(), 3).IsOpen());
}

TEST_F(FileTest, HandlesShareOneStream)
{
    std::string sPath = At("handles.bin");
    File empty;
    EXPECT_FALSE(empty.IsOpen());
    EXPECT_FALSE(empty.IsReadable());
    EXPECT_FALSE(empty.IsWritable());
    EXPECT_TRUE(empty.IsEof());
    EXPECT_EQ(-1, empty.GetChar());
    EXPECT_FALSE(empty.PutChar('a'));
    char c = 0;
    EXPECT_EQ(0u, empty.Read(&c, 1));
    EXPECT_EQ(0u, empty.Write(&c, 1));

    File first = File::Open(sPath.c_str(), 7);
    ASSERT_TRUE(first.IsOpen());
    File second(first);
    File third;
    third = second;
    first.Close();
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(2u, second.Write("ab", 2));
    second = File();
    EXPECT_EQ(1u, third.Write("c", 1));
    third = third;  // self-assignment keeps the stream
    EXPECT_TRUE(third.Rewind());
    char aText[4] = {0};
    EXPECT_EQ(3u, third.Read(aText, 3));
    EXPECT_STREQ("abc", aText);
    third.Close();
    EXPECT_TRUE(File::Open(sPath.c_str(), 3).IsOpen());  // the last release closed the stream
}

TEST_F(FileTest, StandardStreamsAndWrappedStreams)
{
    EXPECT_TRUE(File::StdIn().IsReadable());
    EXPECT_FALSE(File::StdIn().IsWritable());
    EXPECT_TRUE(File::StdOut().IsWritable());
    EXPECT_TRUE(File::StdErr().IsWritable());
    // Released handles leave the runtime's streams open.
    EXPECT_GE(fputs("", stdout), 0);

    std::string sPath = At("wrapped.bin");
    FILE* pStream = _wfopen(std::wstring(sPath.begin(), sPath.end()).c_str(), L"wb");
    ASSERT_NE(nullptr, pStream);
    {
        File file = File::FromStream(pStream, 2);
        EXPECT_FALSE(file.IsReadable());
        EXPECT_TRUE(file.IsWritable());
        EXPECT_EQ(2u, file.Write("ok", 2));
    }
    EXPECT_EQ("ok", ReadWholeFile(sPath));  // closed on last release
}

TEST_F(FileTest, DetachedHandleOutlivesTheStream)
{
    std::string sPath = At("detach.bin");
    File file = File::Open(sPath.c_str(), 6);
    ASSERT_TRUE(file.IsOpen());
    file.Write("ab", 2);
    HANDLE h = file.DetachHandle();
    EXPECT_FALSE(file.IsOpen());
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    // The last release closed the stream; the handle given out must still work.
    DWORD nWritten = 0;
    EXPECT_TRUE(WriteFile(h, "cd", 2, &nWritten, nullptr));
    EXPECT_EQ(2u, nWritten);
    CloseHandle(h);
    EXPECT_EQ("abcd", ReadWholeFile(sPath));
    EXPECT_EQ(INVALID_HANDLE_VALUE, File().DetachHandle());
}

// Paths longer than MAX_PATH. Wine accepts long plain paths as well, so this shows that the
// operations work on them, not that they would fail without the long form.
TEST_F(FileTest, PathsLongerThanMaxPath)
{
    std::string sDeep = m_sRoot;
    for (int i = 0; i < 8; ++i)
        sDeep += "\\" + std::string(40, static_cast<char>('a' + i));
    ASSERT_GT(sDeep.size(), 300u);
    ASSERT_TRUE(CreateDirectoryPath(sDeep.c_str()));
    EXPECT_TRUE(File::IsDirectory(sDeep.c_str()));

    std::string sFile = sDeep + "\\file.txt";
    WriteText(sFile, "deep");
    EXPECT_TRUE(File::Exists(sFile.c_str()));
    EXPECT_EQ(4, File::GetSize(sFile.c_str()));
    EXPECT_EQ("deep", ReadWholeFile(sFile));
    EXPECT_TRUE(File::GetLastWriteTime(sFile.c_str()).IsSet());
    ZStringArray names;
    File::ListFiles(names, (sDeep + "\\*").c_str());
    EXPECT_EQ(std::set<std::string>({"file.txt"}), ToSet(names));
    EXPECT_TRUE(File::Copy(sFile.c_str(), (sDeep + "\\copy.txt").c_str()));
    EXPECT_TRUE(File::Move((sDeep + "\\copy.txt").c_str(), (sDeep + "\\moved.txt").c_str()));
    EXPECT_TRUE(File::Copy(sFile.c_str(), (sDeep + "\\copy.txt").c_str()));
    EXPECT_TRUE(File::MoveReplacing((sDeep + "\\copy.txt").c_str(), (sDeep + "\\moved.txt").c_str()));
    EXPECT_TRUE(File::Delete((sDeep + "\\moved.txt").c_str()));
    EXPECT_EQ(1, File::CopyTree((m_sRoot + "\\a" + std::string(39, 'a')).c_str(), At("tree").c_str(), false, nullptr));

    DeleteTree((m_sRoot + "\\" + std::string(40, 'a')).c_str());
    EXPECT_FALSE(File::Exists(sFile.c_str()));
}

// Existence, sizes, times

TEST_F(FileTest, ExistenceSizeAndKind)
{
    std::string sFile = At("five.bin");
    WriteText(sFile, "12345");
    EXPECT_TRUE(File::Exists(sFile.c_str()));
    EXPECT_TRUE(File::Exists(m_sRoot.c_str()));
    std::string sSlashes = sFile;
    std::replace(sSlashes.begin(), sSlashes.end(), '\\', '/');
    EXPECT_TRUE(File::Exists(sSlashes.c_str()));
    EXPECT_TRUE(File::Exists((m_sRoot + "\\sub\\..\\five.bin").c_str()));
    EXPECT_EQ(5, File::GetSize(sFile.c_str()));
    EXPECT_FALSE(File::IsDirectory(sFile.c_str()));
    EXPECT_TRUE(File::IsDirectory(m_sRoot.c_str()));
    EXPECT_FALSE(File::IsReadOnly(sFile.c_str()));

    std::string sMissing = At("missing.bin");
    EXPECT_FALSE(File::Exists(sMissing.c_str()));
    EXPECT_EQ(-1, File::GetSize(sMissing.c_str()));
    EXPECT_FALSE(File::IsDirectory(sMissing.c_str()));
    EXPECT_FALSE(File::IsReadOnly(sMissing.c_str()));
    EXPECT_FALSE(File::Delete(sMissing.c_str()));
    EXPECT_FALSE(File::Exists(""));
    EXPECT_EQ(-1, File::GetSize(""));

    // A size above 4 GiB needs the high word (sparse, so nothing is written).
    std::string sBig = At("big.bin");
    HANDLE h = File::OpenHandle(sBig.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LARGE_INTEGER nEnd;
    nEnd.QuadPart = 0x100000005LL;
    EXPECT_TRUE(SetFilePointerEx(h, nEnd, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
    EXPECT_EQ(0x100000005LL, File::GetSize(sBig.c_str()));
}

TEST_F(FileTest, DeleteCopyAndMove)
{
    std::string sA = At("a.txt"), sB = At("b.txt"), sC = At("c.txt");
    WriteText(sA, "first");
    WriteText(sB, "second");
    SetReadOnly(sA);
    // Copy overwrites and leaves the copy writable, even when its source is read-only.
    EXPECT_TRUE(File::Copy(sA.c_str(), sB.c_str()));
    EXPECT_EQ("first", ReadWholeFile(sB));
    EXPECT_FALSE(File::IsReadOnly(sB.c_str()));
    EXPECT_FALSE(File::Copy(At("missing").c_str(), sC.c_str()));
    // Move does not overwrite.
    WriteText(sC, "third");
    EXPECT_FALSE(File::Move(sB.c_str(), sC.c_str()));
    EXPECT_EQ("third", ReadWholeFile(sC));
    EXPECT_TRUE(File::Delete(sC.c_str()));
    EXPECT_TRUE(File::Move(sB.c_str(), sC.c_str()));
    EXPECT_FALSE(File::Exists(sB.c_str()));
    EXPECT_EQ("first", ReadWholeFile(sC));
    // MoveReplacing does overwrite; with nothing to move it fails and leaves the target.
    WriteText(sB, "fourth");
    EXPECT_TRUE(File::MoveReplacing(sB.c_str(), sC.c_str()));
    EXPECT_FALSE(File::Exists(sB.c_str()));
    EXPECT_EQ("fourth", ReadWholeFile(sC));
    EXPECT_FALSE(File::MoveReplacing(sB.c_str(), sC.c_str()));
    EXPECT_EQ("fourth", ReadWholeFile(sC));
}

TEST_F(FileTest, TimesReadAndSet)
{
    std::string sPath = At("times.bin");
    FileTime before = File::GetSystemTime();
    WriteText(sPath, "t");
    FileTime after = File::GetSystemTime();
    FileTime written = File::GetLastWriteTime(sPath.c_str());
    ASSERT_TRUE(written.IsSet());
    // File systems round times; allow two seconds either side.
    EXPECT_GE(written.m_nTime, before.m_nTime - 20000000);
    EXPECT_LE(written.m_nTime, after.m_nTime + 20000000);

    const int64_t nTime = 130000000000000000LL;  // a date in 2012
    EXPECT_TRUE(File::SetLastWriteTime(sPath.c_str(), FileTime(nTime)));
    EXPECT_EQ(nTime, File::GetLastWriteTime(sPath.c_str()).m_nTime);
    EXPECT_TRUE(File::SetLastAccessTime(sPath.c_str(), FileTime(nTime + 10000000)));
    EXPECT_EQ(nTime + 10000000, File::GetLastAccessTime(sPath.c_str()).m_nTime);

    // The creation time takes UTF-8 names like every other path operation.
    std::string sNamed = At("cr\xC3\xA9\xC3\xA9.bin");
    WriteText(sNamed, "c");
    // (Wine keeps no creation time of its own, so the value set is not read back.)
    EXPECT_TRUE(File::SetCreationTime(sNamed.c_str(), FileTime(nTime + 20000000)));
    EXPECT_TRUE(File::GetCreationTime(sNamed.c_str()).IsSet());

    std::string sMissing = At("missing.bin");
    EXPECT_FALSE(File::GetCreationTime(sMissing.c_str()).IsSet());
    EXPECT_EQ(-1, File::GetLastWriteTime(sMissing.c_str()).m_nTime);
    EXPECT_FALSE(File::GetLastAccessTime(sMissing.c_str()).IsSet());
    EXPECT_FALSE(File::SetLastWriteTime(sMissing.c_str(), FileTime(nTime)));
    EXPECT_FALSE(File::SetCreationTime(sMissing.c_str(), FileTime(nTime)));
    EXPECT_EQ(-1, FileTime().m_nTime);
}

TEST(FileTimeText, DayMonthYearWithoutLeadingZeros)
{
    struct TextCase
    {
        WORD nYear, nMonth, nDay, nHour, nMinute, nSecond;
        const char* szText;
    };
    const TextCase aCases[] = {
        {2013, 1, 1, 13, 5, 9, "1/1/2013 13:05:09"},
        {2020, 12, 25, 0, 0, 0, "25/12/2020 00:00:00"},
        {1999, 7, 4, 23, 59, 58, "4/7/1999 23:59:58"},
    };
    for (const TextCase& c : aCases) {
        SYSTEMTIME local = {};
        local.wYear = c.nYear;
        local.wMonth = c.nMonth;
        local.wDay = c.nDay;
        local.wHour = c.nHour;
        local.wMinute = c.nMinute;
        local.wSecond = c.nSecond;
        SYSTEMTIME utc;
        ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
        FILETIME ft;
        ASSERT_TRUE(SystemTimeToFileTime(&utc, &ft));
        FileTime time((static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
        EXPECT_STREQ(c.szText, File::GetFileTimeText(time).c_str());
    }
    EXPECT_STREQ("", File::GetFileTimeText(FileTime()).c_str());  // no time
}

// Folders and listings

TEST_F(FileTest, CreateAndRemoveDirectory)
{
    std::string sDir = At("sub");
    EXPECT_TRUE(File::CreateDirectory(sDir.c_str()));
    EXPECT_TRUE(File::CreateDirectory(sDir.c_str()));  // already there
    EXPECT_TRUE(File::IsDirectory(sDir.c_str()));
    EXPECT_FALSE(File::CreateDirectory(At("no\\such\\parent").c_str()));

    // A file of that name is no folder, although the system reports "already exists".
    std::string sFile = At("plain");
    WriteText(sFile, "x");
    EXPECT_FALSE(File::CreateDirectory(sFile.c_str()));
    EXPECT_FALSE(CreateDirectoryPath((sFile + "\\below").c_str()));

    WriteText(sDir + "\\inside", "x");
    EXPECT_FALSE(File::RemoveDirectory(sDir.c_str()));  // only an empty folder
    File::Delete((sDir + "\\inside").c_str());
    EXPECT_TRUE(File::RemoveDirectory(sDir.c_str()));
    EXPECT_FALSE(File::Exists(sDir.c_str()));
}

TEST_F(FileTest, ListingsSeparateFilesAndFolders)
{
    WriteText(At("a.txt"), "a");
    WriteText(At("b.dat"), "b");
    WriteText(At("c.txt"), "c");
    ASSERT_TRUE(File::CreateDirectory(At("x").c_str()));
    ASSERT_TRUE(File::CreateDirectory(At("y.txt").c_str()));

    ZStringArray files;
    File::ListFiles(files, At("*").c_str());
    EXPECT_EQ(std::set<std::string>({"a.txt", "b.dat", "c.txt"}), ToSet(files));
    EXPECT_EQ(3u, files.Size());

    ZStringArray folders;
    File::ListDirectories(folders, At("*").c_str());
    EXPECT_EQ(std::set<std::string>({"x", "y.txt"}), ToSet(folders));  // never "." or ".."
    EXPECT_EQ(2u, folders.Size());

    ZStringArray texts;
    texts.Add("kept");
    File::ListFiles(texts, At("*.txt").c_str());  // appends
    EXPECT_EQ(std::set<std::string>({"kept", "a.txt", "c.txt"}), ToSet(texts));

    ZStringArray none;
    File::ListFiles(none, At("nothing\\*").c_str());
    File::ListDirectories(none, At("x\\*").c_str());
    EXPECT_TRUE(none.IsEmpty());

    // Names come back as UTF-8.
    WriteText(At("\xE2\x82\xAC.txt"), "e");
    ZStringArray euro;
    File::ListFiles(euro, At("\xE2\x82\xAC*").c_str());
    EXPECT_EQ(std::set<std::string>({"\xE2\x82\xAC.txt"}), ToSet(euro));
}

TEST_F(FileTest, CopyTreeCountsFilesAndKeepsFirstError)
{
    std::string sFrom = At("from");
    ASSERT_TRUE(CreateDirectoryPath((sFrom + "\\sub\\deeper").c_str()));
    WriteText(sFrom + "\\one.txt", "1");
    WriteText(sFrom + "\\sub\\two.txt", "22");
    WriteText(sFrom + "\\sub\\deeper\\three.txt", "333");
    ASSERT_TRUE(File::CreateDirectory((sFrom + "\\empty").c_str()));

    DWORD nError = 0;
    EXPECT_EQ(3, File::CopyTree(sFrom.c_str(), At("to").c_str(), false, &nError));
    EXPECT_EQ(0u, nError);
    EXPECT_EQ("22", ReadWholeFile(At("to\\sub\\two.txt")));
    EXPECT_EQ("333", ReadWholeFile(At("to\\sub\\deeper\\three.txt")));
    EXPECT_TRUE(File::IsDirectory(At("to\\empty").c_str()));
    // Copying again over the existing tree works (trailing separators given this time).
    EXPECT_EQ(3, File::CopyTree((sFrom + "\\").c_str(), At("to\\").c_str(), false, &nError));
    EXPECT_EQ(0u, nError);

    // A target held open by a writer makes its copy fail; the other files are still copied with
    // go-on. (Wine running as root copies over read-only files, so sharing is used here.)
    std::string sSingle = At("single");
    ASSERT_TRUE(File::CreateDirectory(sSingle.c_str()));
    WriteText(sSingle + "\\one.txt", "new");
    std::string sLocked = At("locked");
    ASSERT_TRUE(File::CreateDirectory(sLocked.c_str()));
    WriteText(sLocked + "\\one.txt", "old");
    File holder = File::Open((sLocked + "\\one.txt").c_str(), 3);
    ASSERT_TRUE(holder.IsOpen());
    nError = 0;
    EXPECT_EQ(0, File::CopyTree(sSingle.c_str(), sLocked.c_str(), false, &nError));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), nError);

    WriteText(sSingle + "\\two.txt", "2");
    WriteText(sSingle + "\\three.txt", "3");
    nError = 0;
    EXPECT_EQ(3, File::CopyTree(sSingle.c_str(), sLocked.c_str(), true, &nError));  // failed one counts
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), nError);
    holder.Close();
    EXPECT_EQ("old", ReadWholeFile(sLocked + "\\one.txt"));
    EXPECT_EQ("2", ReadWholeFile(sLocked + "\\two.txt"));
    EXPECT_EQ("3", ReadWholeFile(sLocked + "\\three.txt"));

    // The first error is kept; a target that cannot be created ends the copy at once.
    EXPECT_EQ(0, File::CopyTree(sFrom.c_str(), At("no\\parent").c_str(), true, &nError));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), nError);
    nError = 0;
    EXPECT_EQ(0, File::CopyTree(sFrom.c_str(), At("no\\parent").c_str(), true, &nError));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), nError);
}

TEST_F(FileTest, CreateLinkNeverClaimsAMissingLink)
{
    std::string sTarget = At("target.txt");
    WriteText(sTarget, "linked");
    std::string sLink = At("link.txt");
    // Wine's CreateSymbolicLinkW reports success and creates nothing; then the file is copied.
    EXPECT_TRUE(File::CreateLink(sTarget.c_str(), sLink.c_str()));
    EXPECT_TRUE(File::Exists(sLink.c_str()));
    EXPECT_EQ("linked", ReadWholeFile(sLink));

    std::string sFolderLink = At("folderlink");
    bool bLinked = File::CreateLink(m_sRoot.c_str(), sFolderLink.c_str());
    EXPECT_EQ(bLinked, File::IsDirectory(sFolderLink.c_str()));
    if (bLinked)
        RemoveDirectoryW(std::wstring(sFolderLink.begin(), sFolderLink.end()).c_str());

    EXPECT_FALSE(File::CreateLink(At("missing.txt").c_str(), At("link2.txt").c_str()));
}

TEST_F(FileTest, CurrentTempAndFullPaths)
{
    ZStringBuffer<256> sOld = File::GetCurrentDirectory();
    ASSERT_GT(sOld.GetLength(), 0);
    File::SetCurrentDirectory(m_sRoot.c_str());
    ZStringBuffer<256> sNow = File::GetCurrentDirectory();
    EXPECT_EQ(0, _stricmp(m_sRoot.c_str(), sNow.c_str())) << sNow.c_str();
    EXPECT_EQ(0, _stricmp(At("x.txt").c_str(), File::GetFullPath("x.txt").c_str()));
    EXPECT_EQ(0, _stricmp(At("x.txt").c_str(), File::GetFullPath("sub\\..\\x.txt").c_str()));
    File::SetCurrentDirectory(sOld.c_str());
    EXPECT_STREQ(sOld.c_str(), File::GetCurrentDirectory().c_str());

    ZStringBuffer<256> sTemp = File::GetTempPath();
    ASSERT_GT(sTemp.GetLength(), 0);
    EXPECT_EQ('\\', sTemp.GetData()[sTemp.GetLength() - 1]);
    ZStringBuffer<256> sName = File::GetTempFileName("xml");
    EXPECT_TRUE(sName.EndsWith("xml")) << sName.c_str();
    EXPECT_EQ(0, strncmp(sTemp.c_str(), sName.c_str(), sTemp.GetLength())) << sName.c_str();
    EXPECT_EQ(nullptr, strchr(sName.c_str() + sTemp.GetLength(), '\\')) << sName.c_str();
    EXPECT_FALSE(File::Exists(sName.c_str()));
}

TEST_F(FileTest, FullPathOfASubstitutedDrive)
{
    // A drive letter that nothing else uses, removed again at the end.
    const char* szDrive = "Q:";
    if (!DefineDosDeviceA(0, szDrive, m_sRoot.c_str()))
        GTEST_SKIP() << "no substituted drives here";
    ZStringBuffer<256> sFull = File::GetFullPath("Q:\\dir\\file.txt");
    DefineDosDeviceA(DDD_REMOVE_DEFINITION, szDrive, nullptr);
    EXPECT_EQ(0, _stricmp(At("dir\\file.txt").c_str(), sFull.c_str())) << sFull.c_str();
}

TEST(FullPath, UnknownDriveIsLoggedAsAnError)
{
    ivltest::LogCapture log;
    ZStringBuffer<256> sFull = File::GetFullPath("R:\\nothing\\here.txt");  // no such drive
    std::vector<ivltest::LoggedLine> logged = log.Lines();
    EXPECT_STREQ("", sFull.c_str());
    ASSERT_EQ(1u, logged.size());
    EXPECT_EQ(ZLOG_ERROR, logged[0].nLevel);
    EXPECT_EQ("common.system", logged[0].sCategory);
    EXPECT_EQ(0u, logged[0].sText.find("QueryDosDevice failed. Error code 0x")) << logged[0].sText;
}

TEST(AppDataFolder, IronvaleUnderLocalLow)
{
    ZStringBuffer<256> sFolder = File::GetAppDataFolder();
    EXPECT_TRUE(sFolder.EndsWith("\\LocalLow\\Ironvale")) << sFolder.c_str();
    EXPECT_TRUE(File::IsDirectory(sFolder.c_str()));
}

// Path pieces

TEST(PathPieces, Table)
{
    struct PieceCase
    {
        const char* szPath;
        char cDrive;
        const char *szName, *szExtension, *szBase, *szNoExtension, *szDirectory, *szNoDrive, *szBackslashes;
    };
    const PieceCase aCases[] = {
        {"C:\\games\\ivl.exe", 'C', "ivl.exe", "exe", "ivl", "C:\\games\\ivl", "C:\\games\\", "games\\ivl.exe",
         "C:\\games\\ivl.exe"},
        {"d:/a/b.tar.gz", 'd', "b.tar.gz", "gz", "b.tar", "d:/a/b.tar", "d:/a/", "a/b.tar.gz", "d:\\a\\b.tar.gz"},
        {"name", 0, "name", "", "name", "name", "name", "name", "name"},
        // The last '.' counts wherever it stands.
        {"dir.v2\\readme", 0, "readme", "v2\\readme", "readme", "dir", "dir.v2\\", "dir.v2\\readme", "dir.v2\\readme"},
        {"C:\\\\/x", 'C', "x", "", "x", "C:\\\\/x", "C:\\\\/", "x", "C:\\\\\\x"},
        {"folder/", 0, "", "", "", "folder/", "folder/", "folder/", "folder\\"},
        {"", 0, "", "", "", "", "", "", ""},
        {"C:", 'C', "C:", "", "C:", "C:", "C:", "", "C:"},
    };
    for (const PieceCase& c : aCases) {
        SCOPED_TRACE(c.szPath);
        EXPECT_EQ(c.cDrive, File::GetDriveLetter(c.szPath));
        EXPECT_STREQ(c.szName, File::GetFileName(c.szPath).c_str());
        EXPECT_STREQ(c.szExtension, File::GetExtension(c.szPath).c_str());
        EXPECT_STREQ(c.szBase, File::GetFileNameWithoutExtension(c.szPath).c_str());
        EXPECT_STREQ(c.szNoExtension, File::RemoveExtension(c.szPath).c_str());
        EXPECT_STREQ(c.szDirectory, File::GetDirectory(c.szPath).c_str());
        EXPECT_STREQ(c.szNoDrive, File::StripDrive(c.szPath).c_str());
        EXPECT_STREQ(c.szBackslashes, File::ToBackslashes(c.szPath).c_str());
    }
}

TEST(RelativePath, Table)
{
    struct RelativeCase
    {
        const char *szFrom, *szTo, *szResult;
    };
    const RelativeCase aCases[] = {
        {"a/b/", "a/b/c", "c"},
        {"a/b", "a/b/c", "../b/c"},
        {"a/b", "a/b", ""},
        {"a/b/", "a/b/", ""},
        {"C:\\Games\\Ivl\\", "c:/games/ivl/data/x.pak", "data/x.pak"},
        {"C:\\Games\\Ivl\\", "C:\\Games\\Other\\y", "../Other\\y"},
        {"C:\\Games\\Ivl", "C:\\Games\\Other\\y", "../Other\\y"},
        {"a/b/c", "a/b", "../../b"},
        {"a/bc", "a/bd/e", "../bd/e"},
        {"a/b", "a/bc/d", "../bc/d"},
        {"x/y/", "z", "../../z"},
        {"", "z/w", "z/w"},
    };
    for (const RelativeCase& c : aCases)
        EXPECT_STREQ(c.szResult, File::GetRelativePath(c.szFrom, c.szTo).c_str()) << c.szFrom << " -> " << c.szTo;
}

// Path helpers

TEST(PathHelpers, NormalizeJoinAndParent)
{
    EXPECT_EQ('\\', GetPathSeparator());

    struct NormalizeCase
    {
        const char *szPath, *szResult;
    };
    const NormalizeCase aNormalize[] = {
        {"C:/games/", "C:\\games"}, {"C:\\", "C:"}, {"\\", "\\"},         {"\\\\", "\\"},
        {"a/b//", "a\\b"},          {"", ""},       {"a/./b", "a\\.\\b"}, {"/x", "\\x"},
    };
    for (const NormalizeCase& c : aNormalize) {
        ZStringBuffer<16> s("old text that is replaced");
        NormalizePath(s, c.szPath);
        EXPECT_STREQ(c.szResult, s.c_str()) << c.szPath;
    }

    ZStringBuffer<256> s;
    JoinPath2(s, "C:\\a\\", "b/c");
    EXPECT_STREQ("C:\\a\\b\\c", s.c_str());
    JoinPath2(s, "C:/x/", "y/");
    EXPECT_STREQ("C:\\x\\y", s.c_str());
    JoinPath3(s, "C:\\a/", "b\\", "c/d.txt");
    EXPECT_STREQ("C:\\a\\b\\c\\d.txt", s.c_str());
    JoinPath4(s, "root", "one/", "two", "three/");
    EXPECT_STREQ("root\\one\\two\\three", s.c_str());
    std::string sLong(300, 'n');
    JoinPath2(s, sLong.c_str(), sLong.c_str());
    EXPECT_EQ(sLong + "\\" + sLong, s.c_str());

    struct ParentCase
    {
        const char* szPath;
        bool bResult;
        const char* szParent;
    };
    const ParentCase aParents[] = {
        {"C:\\a\\b", true, "C:\\a"}, {"C:/a/b/", true, "C:\\a"}, {"C:\\a", false, ""},      {"name", false, ""},
        {"\\x", false, ""},          {"a\\\\b", false, ""},      {"rel\\sub", true, "rel"},
    };
    for (const ParentCase& c : aParents) {
        ZStringBuffer<256> sParent("unchanged");
        EXPECT_EQ(c.bResult, GetParentDirectory(c.szPath, sParent)) << c.szPath;
        EXPECT_STREQ(c.bResult ? c.szParent : "unchanged", sParent.c_str()) << c.szPath;
    }
}

TEST_F(FileTest, CreateDirectoryPathCreatesEveryParent)
{
    std::string sDeep = At("x\\y\\z\\");
    EXPECT_TRUE(CreateDirectoryPath(sDeep.c_str()));
    EXPECT_TRUE(File::IsDirectory(At("x").c_str()));
    EXPECT_TRUE(File::IsDirectory(At("x\\y").c_str()));
    EXPECT_TRUE(File::IsDirectory(At("x\\y\\z").c_str()));
    EXPECT_TRUE(CreateDirectoryPath(At("x/y/z").c_str()));  // exists already; '/' accepted
    EXPECT_TRUE(CreateDirectoryPath(At("x/y/w/v").c_str()));
    EXPECT_TRUE(File::IsDirectory(At("x\\y\\w\\v").c_str()));

    // The first part of a relative path is never created.
    ZStringBuffer<256> sOld = File::GetCurrentDirectory();
    File::SetCurrentDirectory(m_sRoot.c_str());
    EXPECT_FALSE(CreateDirectoryPath("rel\\sub"));
    EXPECT_FALSE(File::Exists(At("rel").c_str()));
    EXPECT_TRUE(CreateDirectoryPath("x\\new"));
    EXPECT_TRUE(CreateDirectoryPath("single"));
    File::SetCurrentDirectory(sOld.c_str());
    EXPECT_TRUE(File::IsDirectory(At("x\\new").c_str()));
    EXPECT_TRUE(File::IsDirectory(At("single").c_str()));
}

TEST_F(FileTest, DeleteTreeLeavesOnlyReadOnlyFiles)
{
    ASSERT_TRUE(CreateDirectoryPath(At("tree\\a\\b").c_str()));
    ASSERT_TRUE(CreateDirectoryPath(At("tree\\c").c_str()));
    WriteText(At("tree\\top.txt"), "1");
    WriteText(At("tree\\a\\b\\leaf.txt"), "2");
    WriteText(At("tree\\c\\kept.txt"), "3");
    SetReadOnly(At("tree\\c\\kept.txt"));

    DeleteTree(At("tree").c_str());
    EXPECT_FALSE(File::Exists(At("tree\\a").c_str()));
    EXPECT_FALSE(File::Exists(At("tree\\top.txt").c_str()));
    EXPECT_TRUE(File::Exists(At("tree\\c\\kept.txt").c_str()));

    ASSERT_TRUE(SetFileAttributesW(ivltest::Wide(At("tree\\c\\kept.txt")).c_str(), FILE_ATTRIBUTE_NORMAL));
    DeleteTree(At("tree").c_str());
    EXPECT_FALSE(File::Exists(At("tree").c_str()));
    DeleteTree(At("missing").c_str());  // nothing to do
}

TEST_F(FileTest, WholeFileReadsAndWrites)
{
    std::string sPath = At("whole.bin");
    const char aData[] = {'a', 0, 'b', '\n', 'c'};
    EXPECT_TRUE(WriteBufferToFile(sPath.c_str(), aData, sizeof(aData)));
    ZMemoryBuffer buffer;
    buffer.Append("xy", 2);
    EXPECT_EQ(5u, ReadFileToBuffer(sPath.c_str(), &buffer));
    ASSERT_EQ(7u, buffer.GetSize());
    EXPECT_EQ(0, memcmp(buffer.GetData(), "xya\0b\nc", 7));

    EXPECT_TRUE(AppendBufferToFile(sPath.c_str(), "\n!", 2));
    EXPECT_EQ(std::string("a\0b\nc\n!", 7), ReadWholeFile(sPath));
    EXPECT_TRUE(AppendTextToFile(sPath.c_str(), "\n", 1));
    EXPECT_EQ(std::string("a\0b\nc\n!\r\n", 9), ReadWholeFile(sPath));

    ZMemoryBuffer source;
    source.Append("mem", 3);
    EXPECT_TRUE(WriteMemoryBufferToFile(sPath.c_str(), &source));
    EXPECT_EQ("mem", ReadWholeFile(sPath));
    EXPECT_FALSE(WriteMemoryBufferToFile(sPath.c_str(), nullptr));
    EXPECT_TRUE(WriteBufferToFile(sPath.c_str(), "", 0));

    // An empty file adds nothing; a missing file or a null buffer read nothing.
    ZMemoryBuffer empty;
    empty.Append("z", 1);
    EXPECT_EQ(0u, ReadFileToBuffer(sPath.c_str(), &empty));
    EXPECT_EQ(1u, empty.GetSize());
    EXPECT_EQ(0u, ReadFileToBuffer(At("missing").c_str(), &empty));
    EXPECT_EQ(0u, ReadFileToBuffer(sPath.c_str(), nullptr));
    EXPECT_EQ(1u, empty.GetSize());

    std::string sNoFolder = At("no\\such\\file.bin");
    EXPECT_FALSE(WriteBufferToFile(sNoFolder.c_str(), "a", 1));
    EXPECT_FALSE(AppendBufferToFile(sNoFolder.c_str(), "a", 1));
    EXPECT_FALSE(AppendTextToFile(sNoFolder.c_str(), "a", 1));
}

}  // namespace
