// The firmware overview "Overview": one row per firmware image the program carries, and one for a loaded
// image file.
#pragma once

#include <memory>

#include "firmware/uBl3File.h"
#include "ui/uForms_win32.h"

// Sizes every column of a report-view list to the wider of its header and its contents, plus 5 pixels;
// returns the sum of the widths.
int AutoSizeColumns(HWND listView);

class TfrmInfo : public TForm {
 public:
  void OnEnterKey() override { EndModal(IDOK); }
  TfrmInfo();
  // Fills, places (left, top, outer height; the width follows the columns) and shows the overview
  // modally; returns the modal result (IDOK from the OK button).
  int Execute(int ALeft, int ATop, int AHeight);

  HWND ListView1 = nullptr;
  HWND Panel1 = nullptr;
  HWND Button1 = nullptr;

 protected:
  void OnCreate() override;
  void OnSize() override;
  bool OnCommand(int id, int code, HWND control) override;
  void OnDpiChanged() override;

 private:
  void AddImageRow(const TBl3FileHeader& header);
  TFontHandle FFont;
};

extern std::unique_ptr<TfrmInfo> frmInfo;
