// Process-wide settings fixed at start-up, before any worker exists.
#pragma once

#include <cstdint>

#include "device/uCommThread.h"

extern TCommThreadClass CommThreadClass;  // none at load; set by the program body
extern int32_t ServiceLevel;              // 0 normal, 1 internal, 2 internal with image files
extern bool CheckClass;                   // images must carry the SD-card class
extern bool ClearsMeasurements;           // the update clears the logger's measurements

// The worker class of an update run (TSDCommThread), the one the program puts into CommThreadClass.
TCommThreadClass DefaultCommThreadClass();
