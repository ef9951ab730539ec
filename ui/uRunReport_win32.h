// A run's report lines, as the report window shows them, in a window of their own; or, with `wrapped`, a
// few lines of prose (the speed-up's outcome), folded at the window's width and in a shorter window.
#pragma once

#include <string>

#include "ui/uForms_win32.h"

class TfrmRunReport : public TForm {
 public:
  TfrmRunReport(const std::wstring& caption, const std::wstring& text, bool wrapped = false);
  HWND Memo1 = nullptr;
  HWND btnClose = nullptr;

  void OnEnterKey() override;

 protected:
  void OnCreate() override;
  void OnDpiChanged() override;
  void OnSize() override;
  bool OnCommand(int id, int, HWND) override;
  void OnClose() override;

 private:
  std::wstring FText;
  bool FWrapped;
  TFontHandle FFont;
};
