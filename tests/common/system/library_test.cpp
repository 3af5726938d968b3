#include "common/system/library.h"
#include "common/system/file.h"
#include <gtest/gtest.h>
#include <string>

namespace
{
typedef int (*AddFunction)(int, int);
typedef const char* (*NameFunction)();
}

TEST(LibraryTest, LoadsByBaseNameAndFindsExports)
{
    Library library = Library::Load("systemtestlib");
    ASSERT_TRUE(library.IsLoaded()) << Library::GetLastErrorText().GetData();
    AddFunction pfnAdd = reinterpret_cast<AddFunction>(library.GetSymbol("SystemTestAdd"));
    ASSERT_NE(nullptr, pfnAdd);
    EXPECT_EQ(5, pfnAdd(2, 3));
    NameFunction pfnName = reinterpret_cast<NameFunction>(library.GetSymbol("SystemTestName"));
    ASSERT_NE(nullptr, pfnName);
    EXPECT_STREQ("systemtestlib", pfnName());
    EXPECT_EQ(nullptr, library.GetSymbol("NotExported"));

    std::string sExpected = std::string(Library::GetLibraryDirectory().GetData()) + "systemtestlib.dll";
    EXPECT_EQ(0, _stricmp(sExpected.c_str(), library.GetFileName().GetData())) << library.GetFileName().GetData();
}

TEST(LibraryTest, LastHandleUnloads)
{
    EXPECT_EQ(nullptr, GetModuleHandleA("systemtestlib.dll"));
    {
        Library first = Library::Load("systemtestlib");
        ASSERT_TRUE(first.IsLoaded());
        Library second;
        second = first;
        first = Library();
        EXPECT_NE(nullptr, GetModuleHandleA("systemtestlib.dll"));
        EXPECT_NE(nullptr, second.GetSymbol("SystemTestAdd"));
    }
    EXPECT_EQ(nullptr, GetModuleHandleA("systemtestlib.dll"));
}

TEST(LibraryTest, LoadAcceptsAPath)
{
    std::string sPath = std::string(Library::GetLibraryDirectory().GetData()) + "systemtestlib";
    EXPECT_TRUE(Library::Load(sPath.c_str()).IsLoaded());
}

TEST(LibraryTest, FailedLoadIsEmptyWithAReason)
{
    // The extension is always appended: "systemtestlib.dll" asks for "systemtestlib.dll.dll".
    Library doubled = Library::Load("systemtestlib.dll");
    DWORD nError = GetLastError();
    EXPECT_FALSE(doubled.IsLoaded());
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), nError);
    SetLastError(ERROR_MOD_NOT_FOUND);
    ZStringBuffer<256> text = Library::GetLastErrorText();
    EXPECT_GT(text.GetLength(), 0);
    EXPECT_FALSE(text.EqualsNoCase("Error code 126"));

    EXPECT_FALSE(Library::Load("no-such-library-7f3a").IsLoaded());

    Library empty;
    EXPECT_FALSE(empty.IsLoaded());
    EXPECT_EQ(nullptr, empty.GetSymbol("SystemTestAdd"));
    EXPECT_STREQ("", empty.GetFileName().GetData());
}

TEST(LibraryTest, ErrorWithoutSystemTextGivesItsCode)
{
    SetLastError(0x2ABCDEF);
    EXPECT_STREQ("Error code 44813807", Library::GetLastErrorText().GetData());
}

TEST(LibraryTest, LibraryDirectoryIsTheProgramsFolder)
{
    ZStringBuffer<256> dir = Library::GetLibraryDirectory();
    ASSERT_GT(dir.GetLength(), 0);
    EXPECT_EQ('\\', dir.GetData()[dir.GetLength() - 1]);
    char szPath[MAX_PATH];
    GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    EXPECT_EQ(0, strncmp(szPath, dir.GetData(), dir.GetLength()));
    EXPECT_EQ(nullptr, strchr(szPath + dir.GetLength(), '\\'));
}
