// The information box "Information": the final result of a run, modal, inside the lower part of the main
// window. Laid out at 120 pixels per inch.
#pragma once

#include <memory>
#include <string>

#include "ui/uForms_win32.h"

class TfrmMessage : public TForm {
 public:
  void OnEnterKey() override { Button1Click(); }
  void OnEscapeKey() override { Button1Click(); }
  TfrmMessage();
  // Shows sMsg modally, placed by the main window's outer left x, top y, width w and height h.
  void showMsg(const std::wstring& sMsg, int x, int y, int w, int h);
  void Button1Click();

  HWND Panel1 = nullptr;
  HWND Button1 = nullptr;
  HWND Memo1 = nullptr;

 protected:
  void OnCreate() override;
  void OnSize() override;
  bool OnCommand(int id, int code, HWND control) override;
  void OnDpiChanged() override;

 private:
  TFontHandle FFont;
};

extern std::unique_ptr<TfrmMessage> frmMessage;
