// The engine's message boxes (caption "vpplayer" for the 8-bit forms).
#pragma once

// OK button, no owner, brought to the foreground.
void ZMessageBox(const char* szText);
// True when the user chose OK.
bool ZMessageBoxOkCancel(const char* szText);
// Caption and text are UTF-8.
void ZMessageBoxW(const char* szCaption, const char* szText);
