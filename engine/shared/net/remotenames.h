// Names that file servers and pages hand over and that become paths on this machine: the one
// check every reader of such a name uses, and the checks of a whole list of them as Windows
// compares names (case, '/' and '\' alike, trailing dots and blanks of a piece ignored).
#pragma once
#include <cstddef>

class ZFileTable;
class ZStringBase;

// A relative name that, joined to a folder, names an ordinary file inside that folder: no empty
// piece (leading, doubled or trailing separator), no piece of dots and blanks only ("." and ".."
// and their padded forms), no drive or stream colon, no control character, and no piece that
// Windows takes for a device (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, CLOCK$, with or
// without an extension, in any case, with trailing dots or blanks), and no piece that the file
// system could take as the short name of another file (below).
bool IsSafeRelativeName(const char* szName);

// True when the piece of nLength bytes is a device name in one of the forms above.
bool IsDeviceName(const char* szPiece, size_t nLength);

// One piece of such a name (no separator in it), as above. Windows opens a file by its 8.3 short
// name too ("SYNCCA~1", "LONG~LMQ.TXT"), so a piece that could be one might reach an entry of
// another name: without its trailing dots and blanks, a piece with a '~', at most one dot, at
// most 8 characters before it and 3 after it is refused.
bool IsSafePiece(const char* szPiece, size_t nLength);

// One name from outside for a folder in which the program keeps the reserved entries (files or
// folders of its own, '/'-separated): it must be safe, must not name a reserved entry or lie
// inside one, and must not take a place a reserved entry needs as its folder. False with the
// reason (naming the name) in problem.
bool CheckListedName(const char* szName, const char* const* ppReserved, size_t nReserved, ZStringBase& problem);

// Every record of a table read from outside as above, and besides no two records naming one file
// and no record naming a file where another needs a folder. Records for which pfnIgnored (may be
// null) is true are never written and are not checked. False with the first fault in problem.
bool CheckListedNames(const ZFileTable& table, const char* const* ppReserved, size_t nReserved,
                      bool (*pfnIgnored)(const char*), ZStringBase& problem);

// The first line of a file-table text whose quoted name holds a ".." piece after its leading
// ones (those climb from the name before). The table's reader drops such a line without a word;
// a reader of a list from outside looks for one first and refuses the list. False with the
// name in problem.
bool CheckClimbingRecords(const char* pText, size_t nSize, ZStringBase& problem);

// What the downloader keeps in a sync cache beside the lists cached there: no list takes these.
extern const char* const kSyncCacheOwnFiles[];
extern const size_t kSyncCacheOwnFileCount;
