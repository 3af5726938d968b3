#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "player/resource/resourcestrings.h"
#include "testhelpers.h"

namespace
{

const uint32_t kNone = ResourceStrings::NoString;
const uint32_t kTableSignature = 0x565D0C5Fu;

// A name of a kind and the id it has.
struct NameCase
{
    const char* szName;
    uint32_t nKind;
    uint32_t nId;
};

std::string Text(const ZMemoryBuffer& buffer)
{
    return std::string((const char*)buffer.GetData(), buffer.GetSize());
}

TEST(PredefinedNames, EveryEntryGetsItsOwnIdBack)
{
    ResourceStrings strings;
    int nCount = 0;
    for (const PredefinedName* p = g_PredefinedNames; p->m_szName; ++p, ++nCount) {
        // A repeated name or one ending in a digit would come back under another id.
        EXPECT_EQ(p->m_nId, strings.FindString(p->m_szName, p->m_nId >> 24)) << p->m_szName;
        EXPECT_STREQ(p->m_szName, strings.GetString(p->m_nId)) << p->m_nId;
        EXPECT_EQ(nCount < 1080 ? (uint32_t)nCount : 0x1000000u + (uint32_t)(nCount - 1080), p->m_nId);
    }
    EXPECT_EQ(PredefinedNameCount, nCount);
}

TEST(PredefinedNames, GroupsHoldTheirCounts)
{
    struct Group
    {
        const char* szPrefix;
        int nCount;
    } groups[] = {{"m_", 544}, {"Vost_", 127}, {"demomap/", 61}, {"AE_", 19}};
    for (const Group& g : groups) {
        int n = 0;
        for (int i = 0; i < 1080; ++i)
            n += strncmp(g_PredefinedNames[i].m_szName, g.szPrefix, strlen(g.szPrefix)) == 0;
        EXPECT_EQ(g.nCount, n) << g.szPrefix;
    }
}

// The game engine library calls the component through its table.
TEST(ResourceStrings, VirtualOperationsSitAtTheirSlots)
{
    using ivltest::VirtualSlot;
    ivltest::ExpectSlots({
        {"Destroy", 0, VirtualSlot(&ResourceStrings::Destroy)},
        {"GetInterface", 1, VirtualSlot(&ResourceStrings::GetInterface)},
        {"Reset", 2, VirtualSlot(&ResourceStrings::Reset)},
        {"ResourceStringsSignature", 3, VirtualSlot(&ResourceStrings::ResourceStringsSignature)},
        {"AddString", 4, VirtualSlot(&ResourceStrings::AddString)},
        {"GetString", 5, VirtualSlot(&ResourceStrings::GetString)},
        {"FindString", 6, VirtualSlot(&ResourceStrings::FindString)},
        {"LoadNames", 7, VirtualSlot(&ResourceStrings::LoadNames)},
        {"SaveNames", 8, VirtualSlot(&ResourceStrings::SaveNames)},
        {"IsComponentType", 9, VirtualSlot(&ResourceStrings::IsComponentType)},
    });
}

TEST(ResourceStrings, KnownNamesAfterConstruction)
{
    ResourceStrings strings;
    const NameCase cases[] = {
        {"m_AutoStart", 0, 1079},
        {"Cloth", 1, 0x1000002},
        {"", 0, 0},
        {"", 1, 0x1000000},
        {"Vantari", 0, 237},
        {"None", 0, 553},
        {"VostFlashObject", 0, 694},
        {"m_VehicleName", 0, 1075},
        {"m_WaitEvent", 0, 1076},
        {"Vost_EffectPhysics", 0, 1077},
        {"bogusprop", 0, 1078},
        {"ControllerCount", 1, 0x1000022},
        {"Weapons", 1, 0x100001E},
        {"m_autostart", 0, kNone},
        {"Cloth", 0, kNone},
        {"never added", 0, kNone},
        {"m_AutoStart", 1, kNone},
        {"m_AutoStart", 7, kNone},
        {"m_AutoStart4", 0, 1079 | 5 << 16},
    };
    for (const NameCase& c : cases)
        EXPECT_EQ(c.nId, strings.FindString(c.szName, c.nKind)) << c.szName << " kind " << c.nKind;
    EXPECT_STREQ("m_AutoStart", strings.GetString(1079));
}

TEST(ResourceStrings, NumberedNamesSplitIntoBaseAndSuffix)
{
    ResourceStrings strings;
    const NameCase cases[] = {
        {"Weapons7", 1, 0x1000000 | 8 << 16 | 30},
        {"Light12", 0, 1080 | 13 << 16},  // new base "Light"
        {"Light", 0, 1080},
        {"Light0", 0, 1080 | 1 << 16},
        {"Light254", 0, 1080 | 255 << 16},
        {"Light255", 0, 1081},  // suffix would not fit: its own base name
        {"Light300", 0, 1082},
        {"Light007", 0, 1083},  // a leading zero would be lost: its own base name
        {"7", 0, 0 | 8 << 16},  // the empty base name with a suffix
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(c.nId, strings.AddString(c.szName, c.nKind)) << c.szName;
        EXPECT_EQ(c.nId, strings.AddString(c.szName, c.nKind)) << c.szName << " again";
        EXPECT_EQ(c.nId, strings.FindString(c.szName, c.nKind)) << c.szName;
        EXPECT_STREQ(c.szName, strings.GetString(c.nId)) << c.szName;
    }
}

TEST(ResourceStrings, OverlongBaseNameKeepsItsDigits)
{
    ResourceStrings strings;
    std::string name(300, 'x');
    name += "5";
    uint32_t nId = strings.AddString(name.c_str(), 0);
    EXPECT_EQ(1080u, nId);
    EXPECT_EQ(name, strings.GetString(nId));
}

TEST(ResourceStrings, FullKindRefusesInsteadOfSpillingIntoTheSuffixBits)
{
    ResourceStrings strings;
    for (uint32_t i = 1080; i < ResourceStrings::MaxNamesPerKind; ++i)
        ASSERT_EQ(i, strings.AddString(("name_" + std::to_string(i) + "x").c_str(), 0));
    EXPECT_EQ(kNone, strings.AddString("one too many", 0));
    EXPECT_EQ(kNone, strings.FindString("one too many", 0));
    EXPECT_EQ(65535u, strings.AddString("name_65535x", 0));
    EXPECT_STREQ("name_65535x", strings.GetString(65535));
    EXPECT_EQ(0x1000000u | 35u, strings.AddString("a type name", 1));  // other kinds are not full
}

TEST(ResourceStrings, UnknownIdsGiveEmptyText)
{
    ResourceStrings strings;
    for (uint32_t nId : {kNone, 0x05000000u, 1080u, 0x1000023u, 0x00FF0000u | 2000u})
        EXPECT_STREQ("", strings.GetString(nId)) << std::hex << nId;
}

TEST(ResourceStrings, TextsSurviveLaterAdditionsAndSuffixedLookups)
{
    ResourceStrings strings;
    const char* szBase = strings.GetString(1079);
    std::vector<const char*> suffixed;
    for (int i = 0; i < 32; ++i)
        suffixed.push_back(strings.GetString(1079 | (uint32_t)(i + 1) << 16));
    for (int i = 0; i < 20000; ++i)
        strings.AddString(("added/name/number_" + std::to_string(i) + "x").c_str(), 0);
    EXPECT_STREQ("m_AutoStart", szBase);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ("m_AutoStart" + std::to_string(i), suffixed[i]);
}

TEST(ResourceStrings, LoadNamesReadsBothLineEndings)
{
    struct Case
    {
        const char* szLabel;
        std::string text;
        std::vector<std::string> names;
    } cases[] = {
        {"CR LF", "alpha\r\nbeta\r\n", {"alpha", "beta"}},
        {"LF", "alpha\nbeta\n", {"alpha", "beta"}},
        {"mixed", "alpha\nbeta\r\ngamma\n", {"alpha", "beta", "gamma"}},
        {"no final ending", "alpha\r\nbeta", {"alpha", "beta"}},
        {"empty lines", "\r\nalpha\n\n", {"", "alpha", ""}},
        {"digits kept", "Light12\r\n", {"Light12"}},
        {"empty text", "", {}},
    };
    for (const Case& c : cases) {
        ResourceStrings strings;
        strings.LoadNames(c.text.data(), (uint32_t)c.text.size());
        for (uint32_t i = 0; i < c.names.size(); ++i)
            EXPECT_EQ(c.names[i], strings.GetString(i)) << c.szLabel << " line " << i;
        EXPECT_STREQ("", strings.GetString((uint32_t)c.names.size())) << c.szLabel;
        EXPECT_EQ(kNone, strings.FindString("m_AutoStart", 0)) << c.szLabel;
        EXPECT_EQ(0x1000002u, strings.FindString("Cloth", 1)) << c.szLabel;  // other kinds stay
    }
}

TEST(ResourceStrings, LoadNamesGivesARepeatedNameItsLaterIndex)
{
    ResourceStrings strings;
    const char szText[] = "a\r\nb\r\na\r\n";
    strings.LoadNames(szText, sizeof(szText) - 1);
    EXPECT_EQ(2u, strings.FindString("a", 0));
    EXPECT_STREQ("a", strings.GetString(0));
    EXPECT_STREQ("b", strings.GetString(1));
}

TEST(ResourceStrings, SaveThenLoadKeepsTheIndexes)
{
    for (int nExtra : {10, 40000})  // the larger table is over 1 MB of text
    {
        ResourceStrings strings;
        for (int i = 0; i < nExtra; ++i)
            strings.AddString(("data/textures/terrain/detail_layer_" + std::to_string(i) + "_diffuse.dds").c_str(), 0);
        ZMemoryBuffer saved;
        strings.SaveNames(saved);
        std::string text = Text(saved);
        EXPECT_NE(std::string::npos, text.find("\r\nm_bActorLift\r\n"));
        ASSERT_EQ("\r\n", text.substr(text.size() - 2));

        ResourceStrings loaded;
        loaded.LoadNames(text.data(), (uint32_t)text.size());
        for (uint32_t nId : {0u, 1u, 237u, 1079u, 1080u, 1079u + (uint32_t)nExtra})
            EXPECT_STREQ(strings.GetString(nId), loaded.GetString(nId)) << nId;
        EXPECT_EQ(
            1079u + (uint32_t)nExtra,
            loaded.FindString(
                ("data/textures/terrain/detail_layer_" + std::to_string(nExtra - 1) + "_diffuse.dds").c_str(), 0));
        ZMemoryBuffer again;
        loaded.SaveNames(again);
        EXPECT_EQ(text, Text(again));
    }
}

TEST(ResourceStrings, SignatureOfSmallTables)
{
    struct Case
    {
        std::vector<const char*> names;
        uint32_t nSignature;
    } cases[] = {
        {{}, 0},
        {{"A"}, 1 | 0x41},
        {{"A", "B"}, 2 | (0x41 ^ 0x42 << 1)},
        {{"\xff"}, 0xFFFFFFFFu},  // bytes are sign-extended
        {{"\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01"},
         0x1FFFFFFu},  // shifts run 0..24, then start again at 0
        {{""}, 1},
    };
    for (const Case& c : cases) {
        std::vector<PredefinedName> table;
        for (const char* sz : c.names)
            table.push_back({sz, 0});
        table.push_back({nullptr, 0});
        EXPECT_EQ(c.nSignature, ResourceStrings::ComputeSignature(table.data())) << c.names.size();
    }
}

TEST(ResourceStrings, SignatureIsFixedByThePredefinedTable)
{
    ResourceStrings strings;
    uint32_t nSignature = strings.ResourceStringsSignature();
    EXPECT_EQ(nSignature, ResourceStrings::ComputeSignature(g_PredefinedNames));
    EXPECT_EQ((uint32_t)PredefinedNameCount, nSignature & PredefinedNameCount);
    strings.AddString("something new", 0);
    const char szText[] = "x\r\n";
    strings.LoadNames(szText, sizeof(szText) - 1);
    EXPECT_EQ(nSignature, strings.ResourceStringsSignature());
    // Saved data depends on this value: a change to the table shows here.
    EXPECT_EQ(kTableSignature, nSignature);
}

}  // namespace
