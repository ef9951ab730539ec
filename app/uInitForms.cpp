#include "app/uInitForms.h"

#include "ui/uInfo_win32.h"
#include "ui/uMessage_win32.h"
#include "ui/uProtocol_win32.h"

void InitForms() {
  frmInfo = std::make_unique<TfrmInfo>();
  frmProtocol = std::make_unique<TfrmProtocol>();
  frmMessage = std::make_unique<TfrmMessage>();
}
