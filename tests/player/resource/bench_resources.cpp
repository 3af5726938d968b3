// Timings for tools/bench.d/resources.sh: 1,000,000 resource names interned and looked up in
// the resource index allocator and in the resource strings, and the same work done by a
// std::unordered_map<std::string, int> in the same run. One line per structure:
//   name=<what> insert=<s> lookup=<s> lookups_per_second=<n> found=<n>
#include <stdio.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/system/ztimer.h"
#include "player/resource/resourceindexallocator.h"
#include "player/resource/resourcestrings.h"

namespace
{

const int kNames = 1000000;

double Now()
{
    return (double)ZTimer::Now() / (double)ZTimer::GetTicksPerSecond();
}

const char* const kLevels[] = {"harbour",  "desert_base", "mountain_pass", "city_ruins", "forest",
                               "airfield", "canyon",      "island",        "tundra",     "refinery"};
const char* const kFolders[] = {"props",   "vehicles",  "characters", "effects",
                                "terrain", "buildings", "weapons",    "sounds"};
const char* const kKinds[] = {"crate", "barrel",       "wall_segment", "lamp_post", "tree_pine", "rock_large", "fence",
                              "door",  "window_frame", "sandbag",      "container", "pipe_bend", "antenna"};
const char* const kTypes[] = {"msh(Mesh)", "dds(Texture)", "xml(Scene)", "wav(Sound)", "prp(Prop)"};

// Allocator names: "data/levels/<level>/<folder>/<kind>_<n>:<ext>(<Type>):FILE//<path>", all distinct.
std::vector<std::string> MakeResourceNames()
{
    std::vector<std::string> names;
    names.reserve(kNames);
    char szName[256];
    for (int i = 0; i < kNames; ++i) {
        const char* szLevel = kLevels[i % 10];
        const char* szFolder = kFolders[(i / 10) % 8];
        const char* szKind = kKinds[(i / 80) % 13];
        const char* szType = kTypes[i % 5];
        snprintf(szName, sizeof(szName), "data/levels/%s/%s/%s_%d:%s:FILE//levels/%s/%s/%s_%d.bin", szLevel, szFolder,
                 szKind, i, szType, szLevel, szFolder, szKind, i);
        names.push_back(szName);
    }
    return names;
}

// String-table names: numbered members of about 4,000 families ("..._crate_17"), as the
// table's numeric suffixes are meant for.
std::vector<std::string> MakeNumberedNames()
{
    std::vector<std::string> names;
    names.reserve(kNames);
    char szName[256];
    for (int i = 0; i < kNames; ++i) {
        int nFamily = i / 250;
        snprintf(szName, sizeof(szName), "%s/%s/%s_group%c%c%c_%d", kLevels[nFamily % 10], kFolders[(nFamily / 10) % 8],
                 kKinds[(nFamily / 80) % 13], 'a' + nFamily % 26, 'a' + (nFamily / 26) % 26, 'a' + (nFamily / 676) % 26,
                 i % 250);
        names.push_back(szName);
    }
    return names;
}

void Report(const char* szName, double dInsert, double dLookup, long long nFound)
{
    printf("name=%s insert=%.3f lookup=%.3f lookups_per_second=%.0f found=%lld\n", szName, dInsert, dLookup,
           dLookup > 0 ? kNames / dLookup : 0.0, nFound);
}

void RunMap(const char* szLabel, const std::vector<std::string>& names, const std::vector<int>& order)
{
    std::unordered_map<std::string, int> map;
    double t = Now();
    for (int i = 0; i < kNames; ++i)
        map.emplace(names[i], i);
    double dInsert = Now() - t;
    long long nFound = 0;
    t = Now();
    for (int i : order) {
        auto it = map.find(names[i]);
        nFound += it != map.end() && it->second == i;
    }
    Report(szLabel, dInsert, Now() - t, nFound);
}

}  // namespace

int main()
{
    std::vector<int> order(kNames);
    for (int i = 0; i < kNames; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(21));

    std::vector<std::string> names = MakeResourceNames();
    {
        ResourceIndexAllocator allocator;
        double t = Now();
        for (int i = 0; i < kNames; ++i)
            allocator.Register(names[i].c_str(), i);
        double dInsert = Now() - t;
        long long nFound = 0;
        t = Now();
        for (int i : order)
            nFound += allocator.Find(names[i].c_str()) == i;
        Report("allocator", dInsert, Now() - t, nFound);
    }
    RunMap("allocator_unordered_map", names, order);

    names = MakeNumberedNames();
    {
        ResourceStrings strings;
        std::vector<uint32_t> ids(kNames);
        double t = Now();
        for (int i = 0; i < kNames; ++i)
            ids[i] = strings.AddString(names[i].c_str(), 0);
        double dInsert = Now() - t;
        long long nFound = 0;
        t = Now();
        for (int i : order)
            nFound += strings.FindString(names[i].c_str(), 0) == ids[i];
        Report("strings", dInsert, Now() - t, nFound);
    }
    RunMap("strings_unordered_map", names, order);
    return 0;
}
