#include <gtest/gtest.h>

#include <string>

#include "player/resource/resourceindexallocator.h"
#include "player/resource/resourcenames.h"

namespace
{

TEST(ResourceNames, FourCharacterCodes)
{
    uint32_t nMesh = MakeFourCC('M', 'E', 'S', 'H');
    EXPECT_EQ(0x4D455348u, nMesh);
    EXPECT_EQ(nMesh, TextToFourCC("MESH"));
    EXPECT_STREQ("MESH", FourCCText(nMesh).Get());
    EXPECT_STREQ("ZERO", FourCCText(0).Get());
    EXPECT_EQ(MakeFourCC('a', 'b', 0, 0), TextToFourCC("ab"));  // a short text does not read past its end
}

TEST(ResourceNames, CompositeNameParts)
{
    ResourceText name = ComposeResourceName("scenes\\hall.xml", "Mesh", "m_pos");
    EXPECT_STREQ("scenes\\hall:xml(Mesh):m_pos", name.c_str());
    struct Case
    {
        const char* szName;
        const char* szFile;
        const char* szExtension;
        const char* szType;
        const char* szMember;
        const char* szFolder;
        const char* szFolderSuffixed;  // with the suffix "x"
    } cases[] = {
        {"scenes\\hall:xml(Mesh):m_pos", "scenes\\hall.xml", "xml", "Mesh", "m_pos", "scenes\\hall\\",
         "scenes\\hall\\xml(Mesh)\\x"},
        {"a:b:tex(x)", "a.b.tex", "b:tex", "x", "tex(x)", "a\\", "a\\b\\x"},
        {"plain", "plain", "", "", "plain", "", "x"},
        {"a:tex", "a.tex", "tex", "", "tex", "a\\", "a\\x"},
        {"a:b)(c", "a.b)", "b)", "", "b)(c", "a\\", "a\\x"},
        {"", "", "", "", "", "", "x"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.szFile, GetNameFile(c.szName).c_str()) << c.szName;
        EXPECT_STREQ(c.szExtension, GetNameExtension(c.szName).c_str()) << c.szName;
        EXPECT_STREQ(c.szType, GetNameType(c.szName).c_str()) << c.szName;
        EXPECT_STREQ(c.szMember, GetNameMember(c.szName).c_str()) << c.szName;
        EXPECT_STREQ(c.szFolder, GetNameFolder(c.szName).c_str()) << c.szName;
        EXPECT_STREQ(c.szFolderSuffixed, GetNameFolder(c.szName, "x").c_str()) << c.szName;
    }
}

TEST(ResourceNames, PathRewrite)
{
    struct Case
    {
        const char* szPath;
        const char* szResult;
        int nPosition;
    } cases[] = {
        {"data\\scenes\\hall.xml", "data:scenes:", 4},
        {"a\\b\\c\\d.x", "a\\b:c:", 3},
        {"\\\\", "::", 0},
        {"hall.xml", "", -1},  // fewer than two separators: nothing to rewrite
        {"data\\hall.xml", "", -1},
        {"", "", -1},
    };
    for (const Case& c : cases) {
        ResourceText result("left over");
        EXPECT_EQ(c.nPosition, RewriteResourcePath(c.szPath, result)) << c.szPath;
        EXPECT_STREQ(c.szResult, result.c_str()) << c.szPath;
    }
}

TEST(ResourceNames, TrailingNumber)
{
    struct Case
    {
        const char* szText;
        int nValue;
        int nStart;
    } cases[] = {
        {"Mesh12", 13, 4}, {"Mesh", 1, -1},
        {"", 1, -1},       {"12", 13, 0},
        {"a1b2", 3, 3},    {"Light0", 1, 5},
        {"x9b", 1, -1},    {"x99999999999999999999", 2147483647, 1},  // saturates instead of overflowing
    };
    for (const Case& c : cases) {
        int nStart = 99;
        EXPECT_EQ(c.nValue, GetTrailingNumber(c.szText, &nStart)) << c.szText;
        EXPECT_EQ(c.nStart, nStart) << c.szText;
    }
}

TEST(ResourceNames, IndexHandle)
{
    ResourceIndex none;
    EXPECT_TRUE(none.IsNone());
    EXPECT_STREQ("", none.GetName());
    EXPECT_STREQ("-1", none.ToText().c_str());
    ResourceIndex handle(0xFFE00005u);
    EXPECT_EQ(5u, handle.GetIndex());
    EXPECT_TRUE(ResourceIndex(3) < ResourceIndex(4));
    EXPECT_TRUE(ResourceIndex(3) == ResourceIndex(3));
    EXPECT_EQ(ResourceIndex::None, ResourceRef(7).m_Index.GetValue());

    // Named through the process's allocator.
    GetResourceIndexAllocator()->Register("walls:dds(Texture)", 42);
    GetResourceIndexAllocator()->Register("Doors:dds(Texture)", 43);
    EXPECT_STREQ("walls:dds(Texture)", ResourceIndex(42).GetName());
    EXPECT_LT(CompareResourceNamesNoCase(ResourceIndex(43), ResourceIndex(42)), 0);
    EXPECT_EQ(0, CompareResourceNamesNoCase(ResourceIndex(43), ResourceIndex(43)));
}

class Owner : public RelativeNameOwner
{
public:
    explicit Owner(const char* szBase) : m_szBase(szBase) {}
    const char* GetBase() const override { return m_szBase; }

private:
    const char* m_szBase;
};

TEST(ResourceNames, RelativeNamesCompareByText)
{
    static const char szBlock[] = "zeta\0alpha";
    Owner owner(szBlock);
    RelativeName zeta(&owner, 0), alpha(&owner, 5);
    RelativeName loose(nullptr, reinterpret_cast<uintptr_t>("alpha"));
    EXPECT_STREQ("alpha", alpha.GetText());
    EXPECT_TRUE(alpha < zeta);
    EXPECT_FALSE(zeta < alpha);
    EXPECT_TRUE(loose == alpha);
}

}  // namespace
