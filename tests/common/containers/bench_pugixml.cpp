// The XML peer for tools/bench.d/tables.sh: pugixml (Debian's source, fetched by the bench)
// built with our toolchain, loading the same file with its default options (entities decoded).
//   bench_pugixml FILE     prints "seconds=<s> elements=<n>"
#include <windows.h>

#include <stdio.h>

#include "pugixml.hpp"

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    LARGE_INTEGER t0, t1, f;
    QueryPerformanceCounter(&t0);
    pugi::xml_document doc;
    pugi::xml_parse_result result = doc.load_file(argv[1]);
    QueryPerformanceCounter(&t1);
    QueryPerformanceFrequency(&f);
    int n = 0;
    for (pugi::xml_node c = doc.first_child().first_child(); c; c = c.next_sibling())
        ++n;
    printf("seconds=%.3f elements=%d\n", (double)(t1.QuadPart - t0.QuadPart) / (double)f.QuadPart, n);
    return result && n > 0 ? 0 : 1;
}
