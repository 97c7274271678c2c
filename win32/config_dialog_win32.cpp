// The settings dialog: moves the four settings between the store and the
// controls of template 3001. Runs on the thread that opens it, inside its
// modal loop; it shares nothing with the checking threads.
#include "win32/config_dialog_win32.h"

#include <windows.h>

#include <string>

#include "core/check/naming.h"
#include "core/settings/run_settings.h"
#include "core/settings/settings_store.h"
#include "resource_ids.h"
#include "win32/module_win32.h"
#include "win32/registry_store_win32.h"

namespace sfvcheck {

namespace {

constexpr char kPreviewCaption[] = "Preview of folder name";

std::string ControlText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  const int length = GetWindowTextLengthA(control);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int copied = GetWindowTextA(control, &text[0], length + 1);
  text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return text;
}

// Only 0, 1 and 2 are shown as they are; any other flag becomes 0 first.
void ShowFlag(HWND dialog, int id, std::int32_t& flag) {
  if (flag < 0 || flag > 2) flag = 0;
  SendDlgItemMessageA(dialog, id, BM_SETCHECK, flag != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::int32_t TakeFlag(HWND dialog, int id) {
  return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

// Both directions go over the controls in the order 3004, 3001, 3003, 3006.
void ShowFields(HWND dialog, RunSettings& fields) {
  SetDlgItemTextA(dialog, IDC_END_TRAIL, fields.endTrail.c_str());
  SetDlgItemTextA(dialog, IDC_START_TRAIL, fields.startTrail.c_str());
  ShowFlag(dialog, IDC_DELETE_FLAG, fields.deleteFlag);
  ShowFlag(dialog, IDC_METER_FLAG, fields.meterFlag);
}

void TakeControls(HWND dialog, RunSettings& fields) {
  fields.endTrail = ControlText(dialog, IDC_END_TRAIL);
  fields.startTrail = ControlText(dialog, IDC_START_TRAIL);
  fields.deleteFlag = TakeFlag(dialog, IDC_DELETE_FLAG);
  fields.meterFlag = TakeFlag(dialog, IDC_METER_FLAG);
}

void OnCommand(HWND dialog, RunSettings& fields, int command) {
  switch (command) {
    case IDOK:  // the button, or Enter through the default button
      TakeControls(dialog, fields);
      WriteRunSettings(fields);
      EndDialog(dialog, IDOK);
      break;
    case IDCANCEL:  // Escape and the close box
    case IDC_CANCEL_BUTTON:
      EndDialog(dialog, IDCANCEL);
      break;
    case IDC_PREVIEW:
      TakeControls(dialog, fields);
      MessageBoxA(dialog, PreviewFolderName(fields).c_str(), kPreviewCaption, 0);
      break;
    default:
      break;
  }
}

INT_PTR CALLBACK ConfigDialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  // Nothing may unwind through the platform's dialog code.
  try {
    if (message == WM_INITDIALOG) {
      auto* fields = reinterpret_cast<RunSettings*>(lParam);
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      ShowFields(dialog, *fields);
      ReadDialogSettings(*fields);
      ShowFields(dialog, *fields);
      ShowWindow(dialog, SW_SHOW);
      return TRUE;  // focus to the first tab stop, the OK button
    }
    auto* fields = reinterpret_cast<RunSettings*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (message == WM_COMMAND && fields != nullptr) {
      OnCommand(dialog, *fields, LOWORD(wParam));
      return TRUE;
    }
  } catch (...) {
    EndDialog(dialog, IDCANCEL);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void RunConfigDialog() {
  try {
    RunSettings fields = BlankDialogFields();
    // Owned by the caller's active window (the host's, when it has one), so
    // that window takes no input while the dialog is open: no second dialog
    // from its menu, no shutdown running inside this dialog's loop.
    DialogBoxParamA(ThisModule(), MAKEINTRESOURCEA(IDD_CONFIG), GetActiveWindow(), ConfigDialogProcedure,
                    reinterpret_cast<LPARAM>(&fields));
  } catch (...) {
    // The dialog simply does not open.
  }
}

}  // namespace sfvcheck
