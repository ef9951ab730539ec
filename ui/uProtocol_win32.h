// The report window "Report": the time-stamped lines of the runs, docked under the main window.
#pragma once

#include <memory>
#include <string>

#include "ui/uForms_win32.h"

class TfrmProtocol : public TForm {
 public:
  TfrmProtocol();
  // Appends "hh-nn-ss -> sLine" and keeps it in view.
  void Add(const std::string& sLine);
  void Clear();
  // The lines as the memo holds them.
  int LineCount() const;
  std::wstring Line(int index) const;

  HWND Memo1 = nullptr;

 protected:
  void OnCreate() override;
  void OnSize() override;
  void OnClose() override {}
  void OnDpiChanged() override;

 private:
  void FormCreate();
  TFontHandle FFont;
};

extern std::unique_ptr<TfrmProtocol> frmProtocol;
