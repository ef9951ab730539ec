// The confirmation question: title "Confirm", the question with a question-mark icon, and the buttons
// "Yes" and "No", whatever the language of the system's own dialogs.
#pragma once

#include <string>

#include "ui/uForms_win32.h"

class TfrmConfirm : public TForm {
 public:
  // The button that Enter presses when the question comes up: Yes, as the system's dialogs have it; No for
  // a question whose Yes is costly to give by mistake (it stops runs).
  enum class TDefault { Yes, No };

  void OnEscapeKey() override;
  explicit TfrmConfirm(const std::wstring& question, TDefault answer = TDefault::Yes);
  // Shows the question modally; true on Yes. Escape and the close box answer No.
  static bool Ask(const std::wstring& question, TDefault answer = TDefault::Yes);

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
  TDefault FDefault;
  TFontHandle FFont;
};
