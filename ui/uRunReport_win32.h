// A run's report lines, as the report window shows them, in a window of their own: modeless, opened at its
// end and following its run as lines come. Or, with `wrapped`, a few lines of prose (the speed-up's
// outcome), folded at the window's width and in a shorter window, shown modally.
#pragma once

#include <string>

#include "ui/uForms_win32.h"

class TfrmRunReport : public TForm {
 public:
  TfrmRunReport(const std::wstring& caption, const std::wstring& text, bool wrapped = false);
  HWND Memo1 = nullptr;
  HWND btnClose = nullptr;

  // The text anew. What only adds lines to the text shown is appended, and the view stays where the
  // reader left it (at the end, it follows the new lines).
  void SetText(const std::wstring& text);
  // Shows it beside the other windows (they stay usable), in front.
  void ShowModeless();

  void OnEnterKey() override;
  void OnEscapeKey() override;
  bool TakesEscape() const override { return true; }

 protected:
  void OnCreate() override;
  void OnDpiChanged() override;
  void OnSize() override;
  bool OnCommand(int id, int, HWND) override;
  void OnClose() override;

 private:
  // Modal: ends; modeless: hides, ready to be shown again.
  void Dismiss(int result);
  void ScrollToEnd();

  std::wstring FText;
  bool FWrapped;
  TFontHandle FFont;
};
