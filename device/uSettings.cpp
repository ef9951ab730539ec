#include "device/uSettings.h"

#include "device/uSDCommThread.h"

TCommThreadClass CommThreadClass = nullptr;
int32_t ServiceLevel = 0;
bool CheckClass = true;
bool ClearsMeasurements = false;

TCommThreadClass DefaultCommThreadClass() {
  return &CreateWorker<TSDCommThread>;
}
