#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/containers/zfilecatalog.h"
#include "common/containers/zmemorybuffer.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlog.h"

#include "testhelpers.h"

namespace
{

// A blob as the catalog's callers make them: its own size in its first four bytes.
std::string Blob(uint32_t nSize, char cFill = 'x')
{
    std::string s(nSize, cFill);
    if (nSize >= 4)
        memcpy(&s[0], &nSize, 4);
    return s;
}

std::string Record(uint32_t nMagic, uint32_t nNameLength, int32_t nSize, uint32_t nRemoved, const std::string& name)
{
    std::string s(24, '\0');
    memcpy(&s[0], &nMagic, 4);
    memcpy(&s[4], &nNameLength, 4);
    memcpy(&s[8], &nSize, 4);
    memcpy(&s[12], &nRemoved, 4);
    uint64_t nTime = 0x0123456789ABCDEFull;
    memcpy(&s[16], &nTime, 8);
    return s + name;
}

std::string Record(const std::string& name, int32_t nSize, uint32_t nRemoved = 0)
{
    return Record(ZFileCatalog::RECORD_MAGIC, (uint32_t)name.size(), nSize, nRemoved, name);
}

std::string ReadBlob(ZFileCatalog& catalog, const char* szName)
{
    const void* pData = nullptr;
    int32_t nSize = -1;
    if (!catalog.Read(szName, &pData, &nSize))
        return "<missing>";
    return std::string((const char*)pData, nSize);
}

class CatalogFolder : public ::testing::Test
{
protected:
    std::string Path(const char* szSuffix) const { return std::string(m_Folder.GetData()) + "/bank5" + szSuffix; }
    bool Exists(const char* szSuffix) const { return File::Exists(Path(szSuffix).c_str()); }
    std::string Files() const
    {
        std::string s;
        for (const char* szSuffix : {".idx", ".bin", "_delta.idx", "_delta.bin"})
            if (Exists(szSuffix))
                s += std::string(s.empty() ? "" : " ") + szSuffix;
        return s;
    }
    void Put(const char* szSuffix, const std::string& bytes) const
    {
        ASSERT_TRUE(WriteBufferToFile(Path(szSuffix).c_str(), bytes.data(), bytes.size()));
    }
    std::string Get(const char* szSuffix) const { return ivltest::ReadWholeFile(Path(szSuffix)); }
    bool Logged(const std::string& text)
    {
        for (const std::string& line : m_Log.Texts("common.containers"))
            if (line == text || line == text + "\n")
                return true;
        return false;
    }

    ivltest::TempFolder m_Temp;
    const ZStringBuffer<256> m_Folder{m_Temp.Path().c_str()};
    ivltest::LogCapture m_Log;
};

TEST_F(CatalogFolder, StoresOnlyBinNamesUnderTheirLowerCaseForm)
{
    ZFileCatalog catalog;
    EXPECT_TRUE(catalog.Open(m_Folder.GetData(), "bank5"));
    EXPECT_TRUE(Logged("File catalog bank5 loaded - 0 files"));
    const std::string blob = Blob(12);
    for (const char* szSkipped : {"Dir/File.BIN", "Dir/File", "Dir/file.bin.txt", "dir.bin/file"})
        EXPECT_EQ(catalog.Store(szSkipped, blob.data(), (int32_t)blob.size()), 1) << szSkipped;
    EXPECT_TRUE(Logged("Skipping file Dir/File.BIN in small files catalog"));
    EXPECT_TRUE(Logged("Skipping file Dir/File in small files catalog"));
    EXPECT_EQ(catalog.GetCount(), 0);
    EXPECT_EQ(Files(), "");

    EXPECT_EQ(catalog.Store("Dir\\Sub/File.bin", blob.data(), (int32_t)blob.size()), 1);
    ASSERT_NE(catalog.First(), nullptr);
    EXPECT_STREQ(catalog.First()->m_Key.GetData(), "dir/sub/file.bin");
    for (const char* szName : {"DIR/SUB/FILE.bin", "dir\\sub\\file.BIN", "dir/sub/file.bin"})
        EXPECT_EQ(ReadBlob(catalog, szName), blob) << szName;
    EXPECT_EQ(ReadBlob(catalog, "dir/sub/other.bin"), "<missing>");
    EXPECT_EQ(catalog.GetHitCount(), 3);
    EXPECT_EQ(catalog.GetMissCount(), 1);
    // Stores go to the delta pair at once.
    EXPECT_EQ(Files(), "_delta.idx _delta.bin");
    EXPECT_EQ(Get("_delta.bin"), blob);
    EXPECT_EQ(Get("_delta.idx").substr(24), "dir/sub/file.bin");
}

TEST_F(CatalogFolder, ReopeningReplaysTheDeltaAndSaves)
{
    {
        ZFileCatalog catalog;
        catalog.Open(m_Folder.GetData(), "bank5");
        catalog.Store("a.bin", Blob(8).data(), 8);
        catalog.Store("b.bin", Blob(16, 'b').data(), 16);
        catalog.Store("a.bin", Blob(20, 'A').data(), 20);  // replaced
        catalog.Store("empty.bin", "", 0);
        // Two catalogs share the files: the second sees the first's deltas and saves them.
        ZFileCatalog reader;
        EXPECT_TRUE(reader.Open(m_Folder.GetData(), "bank5"));
        EXPECT_EQ(reader.GetCount(), 3);
        EXPECT_EQ(ReadBlob(reader, "a.bin"), Blob(20, 'A'));
        EXPECT_EQ(ReadBlob(reader, "empty.bin"), "");
        EXPECT_TRUE(Logged("File catalog bank5 loaded - 3 files"));
        EXPECT_EQ(Files(), ".idx .bin");
    }
    // The main pair holds the entries in name order, blobs back to back.
    EXPECT_EQ(Get(".bin"), Blob(20, 'A') + Blob(16, 'b'));
    std::string index = Get(".idx");
    ASSERT_EQ(index.size(), 3 * 24u + 5 + 5 + 9);
    EXPECT_EQ(index.substr(0, 8), std::string("1ECF\x05\0\0\0", 8));
    EXPECT_EQ(index.substr(8, 8), std::string("\x14\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(index.substr(24, 5), "a.bin");
    EXPECT_EQ(index.substr(29 + 24, 5), "b.bin");
    EXPECT_EQ(index.substr(58 + 24, 9), "empty.bin");

    ZFileCatalog again;
    EXPECT_TRUE(again.Open(m_Folder.GetData(), "bank5"));
    EXPECT_EQ(again.GetCount(), 3);
    EXPECT_EQ(ReadBlob(again, "b.bin"), Blob(16, 'b'));
    EXPECT_FALSE(again.IsDirty());
}

TEST_F(CatalogFolder, RemovalsSurviveAReopenWithoutSave)
{
    {
        ZFileCatalog catalog;
        catalog.Open(m_Folder.GetData(), "bank5");
        catalog.Store("keep.bin", Blob(8).data(), 8);
        catalog.Store("drop.bin", Blob(12).data(), 12);
    }
    EXPECT_EQ(Files(), ".idx .bin");
    ZFileCatalog writer;
    writer.Open(m_Folder.GetData(), "bank5");
    writer.Remove("DROP.bin");
    writer.Remove("never-stored.bin");
    EXPECT_EQ(writer.GetCount(), 1);
    EXPECT_EQ(ReadBlob(writer, "drop.bin"), "<missing>");
    EXPECT_EQ(Get("_delta.idx"), Record("drop.bin", 12, 1).substr(0, 16) + Get("_delta.idx").substr(16));

    // Opened again before the writer saved (as after a crash): the removal is replayed and the
    // catalog kept, although the delta holds a removal only.
    ZFileCatalog reader;
    EXPECT_TRUE(reader.Open(m_Folder.GetData(), "bank5"));
    EXPECT_EQ(reader.GetCount(), 1);
    EXPECT_EQ(ReadBlob(reader, "keep.bin"), Blob(8));
    EXPECT_EQ(ReadBlob(reader, "drop.bin"), "<missing>");
    EXPECT_FALSE(Logged("#error3 Filecatalog -> Deleting file catalog"));
}

TEST_F(CatalogFolder, HandWrittenRemovalRecordRemovesAMainEntry)
{
    Put(".idx", Record("a.bin", 8) + Record("b.bin", 4));
    Put(".bin", Blob(8) + Blob(4));
    Put("_delta.idx", Record("a.bin", 8, 1) + Record("c.bin", 4) + Record("b.bin", 0, 1));
    Put("_delta.bin", Blob(4, 'c'));
    ZFileCatalog catalog;
    EXPECT_TRUE(catalog.Open(m_Folder.GetData(), "bank5"));
    EXPECT_EQ(catalog.GetCount(), 1);
    EXPECT_EQ(ReadBlob(catalog, "a.bin"), "<missing>");
    EXPECT_EQ(ReadBlob(catalog, "c.bin"), Blob(4, 'c'));
    // The count did not grow: nothing was saved yet.
    EXPECT_EQ(Files(), ".idx .bin _delta.idx _delta.bin");
}

TEST_F(CatalogFolder, AcceptsMissingOrEmptyPairs)
{
    for (bool bEmptyFiles : {false, true}) {
        if (bEmptyFiles) {
            Put(".idx", "");
            Put(".bin", "");
        }
        ZFileCatalog catalog;
        EXPECT_TRUE(catalog.Open(m_Folder.GetData(), "bank5")) << bEmptyFiles;
        EXPECT_EQ(catalog.GetCount(), 0);
        EXPECT_FALSE(Logged("#error3 Filecatalog -> Deleting file catalog"));
    }
    // Names read from an index only get '\' turned into '/'.
    Put(".idx", Record("Dir\\A.bin", 4));
    Put(".bin", Blob(4));
    ZFileCatalog catalog;
    EXPECT_TRUE(catalog.Open(m_Folder.GetData(), "bank5"));
    ASSERT_NE(catalog.First(), nullptr);
    EXPECT_STREQ(catalog.First()->m_Key.GetData(), "Dir/A.bin");
    EXPECT_EQ(ReadBlob(catalog, "dir/a.bin"), "<missing>");
}

struct CorruptCase
{
    const char* m_szWhat;
    std::string m_Index;
    std::string m_Data;
    bool m_bDelta;  // written as the delta pair over a valid main pair
    const char* m_szLine;
};

TEST_F(CatalogFolder, CorruptPairsDeleteTheCatalog)
{
    const std::string kMissing = "<none>";
    const std::vector<CorruptCase> cases = {
        {"name length 0", Record(ZFileCatalog::RECORD_MAGIC, 0, 4, 0, "") + "x", Blob(4), false,
         "#error3 Filecatalog -> bad entry"},
        {"name length 5120", Record(ZFileCatalog::RECORD_MAGIC, 5120, 4, 0, std::string(5120, 'n')), Blob(4), false,
         "#error3 Filecatalog -> bad entry"},
        {"bad magic", Record(0x46434532, 5, 4, 0, "a.bin"), Blob(4), false, "#error3 Filecatalog -> bad entry"},
        {"data one byte longer", Record("a.bin", 4), Blob(4) + "z", false, "#error3 Filecatalog -> wrong data size"},
        {"first u32 not the size", Record("a.bin", 8), std::string("\x07\0\0\0abcd", 8), false,
         "#error3 Filecatalog -> bad entry data"},
        {"size under 4", Record("a.bin", 2), "abcd", false, "#error3 Filecatalog -> bad entry data"},
        {"negative size", Record("a.bin", -4), "", false, "#error3 Filecatalog -> bad entry size (negative)"},
        {"truncated name", Record("a.bin", 4).substr(0, 27), Blob(4), false,
         "#error3 Filecatalog -> input buffer overflow"},
        {"trailing bytes", Record("a.bin", 4) + "12345", Blob(4), false,
         "#error3 Filecatalog -> input buffer overflow"},
        {"blob past the data", Record("a.bin", 8), std::string("\x08\0\0\0", 4), false,
         "#error3 Filecatalog -> wrong data size"},
        {"second blob missing", Record("a.bin", 4) + Record("b.bin", 4), Blob(4), false,
         "#error3 Filecatalog -> out of data"},
        {"index without data", Record("a.bin", 4), kMissing, false, "#error3 Filecatalog -> missing data"},
        {"data without index", kMissing, Blob(4), false, "#error3 Filecatalog -> missing data"},
        {"corrupt delta", Record("d.bin", 8), Blob(4), true, "#error3 Filecatalog -> bad entry data"},
    };
    for (const CorruptCase& c : cases) {
        m_Log.Clear();
        const char* szIndex = c.m_bDelta ? "_delta.idx" : ".idx";
        const char* szData = c.m_bDelta ? "_delta.bin" : ".bin";
        if (c.m_bDelta) {
            Put(".idx", Record("m.bin", 4));
            Put(".bin", Blob(4));
        }
        if (c.m_Index != kMissing)
            Put(szIndex, c.m_Index);
        if (c.m_Data != kMissing)
            Put(szData, c.m_Data);
        ZFileCatalog catalog;
        EXPECT_FALSE(catalog.Open(m_Folder.GetData(), "bank5")) << c.m_szWhat;
        EXPECT_TRUE(Logged(c.m_szLine)) << c.m_szWhat;
        EXPECT_TRUE(Logged("#error3 Filecatalog -> Deleting file catalog")) << c.m_szWhat;
        EXPECT_TRUE(Logged("File catalog bank5 loaded - 0 files")) << c.m_szWhat;
        EXPECT_EQ(Files(), "") << c.m_szWhat;
        EXPECT_EQ(catalog.GetCount(), 0) << c.m_szWhat;
        // The catalog works on, empty.
        catalog.Store("new.bin", Blob(4).data(), 4);
        EXPECT_EQ(ReadBlob(catalog, "new.bin"), Blob(4)) << c.m_szWhat;
        catalog.Delete();
        EXPECT_EQ(Files(), "") << c.m_szWhat;
    }
}

TEST_F(CatalogFolder, RefusesBlobsItCouldNotLoadAgain)
{
    ZFileCatalog catalog;
    catalog.Open(m_Folder.GetData(), "bank5");
    catalog.Store("good.bin", Blob(8).data(), 8);
    const std::string wrongLength("\x05\0\0\0abcd", 8);
    catalog.Store("wrong.bin", wrongLength.data(), 8);
    catalog.Store("short.bin", "abc", 3);
    catalog.Store("negative.bin", "abc", -1);
    catalog.Store((std::string(5120, 'n') + ".bin").c_str(), Blob(4).data(), 4);
    EXPECT_TRUE(Logged("Skipping file wrong.bin in small files catalog"));
    EXPECT_TRUE(Logged("Skipping file short.bin in small files catalog"));
    EXPECT_EQ(catalog.GetCount(), 1);

    ZFileCatalog reader;
    EXPECT_TRUE(reader.Open(m_Folder.GetData(), "bank5"));
    EXPECT_EQ(ReadBlob(reader, "good.bin"), Blob(8));
}

TEST_F(CatalogFolder, FailedSaveKeepsThePairAndTheDelta)
{
    {
        ZFileCatalog catalog;
        catalog.Open(m_Folder.GetData(), "bank5");
        catalog.Store("a.bin", Blob(8).data(), 8);
    }
    ZFileCatalog catalog;
    catalog.Open(m_Folder.GetData(), "bank5");
    catalog.Store("b.bin", Blob(4).data(), 4);
    // A folder in the way of the temporary data file makes the save fail.
    ASSERT_TRUE(File::CreateDirectory((Path(".bin") + ".tmp").c_str()));
    catalog.Save();
    EXPECT_TRUE(catalog.IsDirty());
    EXPECT_FALSE(File::Exists((Path(".idx") + ".tmp").c_str()));
    EXPECT_EQ(Files(), ".idx .bin _delta.idx _delta.bin");
    ASSERT_TRUE(File::RemoveDirectory((Path(".bin") + ".tmp").c_str()));

    ZFileCatalog reader;
    EXPECT_TRUE(reader.Open(m_Folder.GetData(), "bank5"));
    EXPECT_EQ(ReadBlob(reader, "a.bin"), Blob(8));
    EXPECT_EQ(ReadBlob(reader, "b.bin"), Blob(4));
    EXPECT_EQ(Files(), ".idx .bin");
}

TEST_F(CatalogFolder, DeleteRemovesTheFilesAndForgetsTheEntries)
{
    ZFileCatalog catalog;
    catalog.Open(m_Folder.GetData(), "bank5");
    catalog.Store("a.bin", Blob(8).data(), 8);
    catalog.Save();
    catalog.Store("b.bin", Blob(8).data(), 8);
    EXPECT_EQ(Files(), ".idx .bin _delta.idx _delta.bin");
    catalog.Delete();
    EXPECT_EQ(Files(), "");
    EXPECT_EQ(catalog.GetCount(), 0);
    EXPECT_FALSE(catalog.IsDirty());
    EXPECT_EQ(ReadBlob(catalog, "a.bin"), "<missing>");

    // StoreStream stores a memory buffer's bytes.
    ZMemoryBuffer buffer;
    std::string blob = Blob(32, 's');
    buffer.Append(blob.data(), (unsigned)blob.size());
    catalog.StoreStream("s.bin", buffer);
    EXPECT_EQ(ReadBlob(catalog, "s.bin"), blob);
}

TEST(Catalog, WorksInMemoryWithoutAFolder)
{
    ZFileCatalog catalog;
    catalog.Store("a.bin", Blob(8).data(), 8);
    EXPECT_EQ(ReadBlob(catalog, "a.bin"), Blob(8));
    catalog.Remove("a.bin");
    catalog.Save();
    catalog.Delete();
    EXPECT_EQ(catalog.GetCount(), 0);
}

}  // namespace
