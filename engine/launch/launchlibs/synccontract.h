// What the plug-in and the sync program agree on: each side is built from these, so that neither
// can change one alone. The close command's code is CMD_CLOSE of the command messages.
#pragma once
#include <cstdint>

// Held by the sync program for its lifetime: its existence means a sync program runs.
constexpr char kSyncMutexName[] = "IvlSync_Running";
// The sync program's command port when no "/p" moves it; the plug-in sends its close command here.
constexpr uint16_t kSyncCommandPort = 50010;
// The session id of the plug-in's close command.
constexpr int32_t kSyncCloseSessionId = 1443355140;
