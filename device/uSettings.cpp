#include "device/uSettings.h"

#include "device/uSDCommThread.h"

TCommThreadClass CommThreadClass = &CreateWorker<TSDCommThread>;
int32_t ServiceLevel = 0;
bool CheckClass = true;
bool ClearsMeasurements = false;
