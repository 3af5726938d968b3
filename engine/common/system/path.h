// Path helpers that produce '\' separators (and accept '/'), and whole-file reads and writes.
#pragma once
#include "common/containers/zstringbuffer.h"
#include <cstddef>

class ZMemoryBuffer;

char GetPathSeparator();
// '/' becomes '\'; trailing '\' are removed from index 1 on (a lone "\" stays).
void NormalizePath(ZStringBase& out, const char* szPath);
// Each part normalised, one '\' between parts.
void JoinPath2(ZStringBase& out, const char* szA, const char* szB);
void JoinPath3(ZStringBase& out, const char* szA, const char* szB, const char* szC);
void JoinPath4(ZStringBase& out, const char* szA, const char* szB, const char* szC, const char* szD);
// False for a path without '\' and for a folder directly under a drive root.
bool GetParentDirectory(const char* szPath, ZStringBase& out);
// Creates the folder with all its parents; true when it exists afterwards.
bool CreateDirectoryPath(const char* szPath);
// Deletes what it can of the folder tree.
void DeleteTree(const char* szFolder);

// Appends the file's bytes; returns the count read (0 when it cannot be opened).
size_t ReadFileToBuffer(const char* szPath, ZMemoryBuffer* pBuffer);
bool WriteBufferToFile(const char* szPath, const void* pData, size_t nSize);
bool WriteMemoryBufferToFile(const char* szPath, const ZMemoryBuffer* pBuffer);
bool AppendBufferToFile(const char* szPath, const void* pData, size_t nSize);
// Text mode: "\n" becomes CR LF.
bool AppendTextToFile(const char* szPath, const void* pData, size_t nSize);
