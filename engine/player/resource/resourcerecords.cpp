// Keeps the resource components, with their constructor records, in a program that links this
// object: the records register themselves, but only when their object files are linked in.
#include "player/resource/resourceindexallocator.h"
#include "player/resource/resourcestrings.h"

__attribute__((used)) static void* const s_pKeepResourceRecords[] = {
    reinterpret_cast<void*>(&GetResourceStrings),
    reinterpret_cast<void*>(&GetResourceIndexAllocator),
};
