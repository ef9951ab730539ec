// The confirmation question: title "Confirm", the question with a question-mark icon, and the buttons
// "Yes" and "No", whatever the language of the system's own dialogs.
#pragma once

#include <string>

#include "ui/uForms_win32.h"

class TfrmConfirm : public TForm {
 public:
  void OnEscapeKey() override;
  explicit TfrmConfirm(const std::wstring& question);
  // Shows the question modally; true on Yes. Escape and the close box answer No.
  static bool Ask(const std::wstring& question);

  HWND imgIcon = nullptr;
  HWND lblQuestion = nullptr;
  HWND btnYes = nullptr;
  HWND btnNo = nullptr;

 protected:
  void OnCreate() override;
  bool OnCommand(int id, int code, HWND control) override;
  void OnClose() override;
  void OnDpiChanged() override;

 private:
  void Layout();

  std::wstring FQuestion;
  TFontHandle FFont;
};
