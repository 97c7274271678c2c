// The settings dialog as the host opens it: through the DLL's hook, event 112.
// Threads: the test thread calls the hook and so owns the dialog and runs its
// modal loop; a driver thread finds the dialog, reads and works its controls,
// and closes it. Buttons that open a message box are posted, never sent, so
// the driver is not blocked inside the dialog's handler.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/host/host_record.h"
#include "plugin/plugin_loader_win32.h"
#include "resource_ids.h"
#include "tools/support/settings_key_win32.h"
#include "win32/owned_handle_win32.h"
#include "win32/registry_store_win32.h"

namespace sfvcheck {
namespace {

constexpr char kKey[] = "Software\\Quendrell";
constexpr char kDialogCaption[] = "SFV Plugin  -  Configuration";
constexpr char kPreviewCaption[] = "Preview of folder name";
constexpr int kMessageBoxTextId = 0xFFFF;

using testing::SettingsKeyTurn;

// Polls until `found` gives a window or about ten seconds have passed.
HWND WaitForWindow(const std::function<HWND()>& found) {
  for (int i = 0; i < 1000; ++i) {
    if (HWND window = found()) return window;
    Sleep(10);
  }
  return nullptr;
}

bool WaitUntilGone(HWND window) {
  for (int i = 0; i < 1000; ++i) {
    if (!IsWindow(window)) return true;
    Sleep(10);
  }
  return false;
}

std::string TextOf(HWND window) {
  char text[1024] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

bool IsTicked(HWND dialog, int id) { return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }

void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void TypeInto(HWND dialog, int id, const char* text) { SetDlgItemTextA(dialog, id, text); }

// Presses Preview, reads the message box that it opens and dismisses it.
std::string Preview(HWND dialog) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_PREVIEW, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_PREVIEW)));
  HWND box = WaitForWindow([] { return FindWindowA("#32770", kPreviewCaption); });
  EXPECT_NE(box, nullptr) << "no preview box";
  if (box == nullptr) return std::string();
  EXPECT_EQ(GetWindow(box, GW_OWNER), dialog);
  EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
  char text[1024] = {};
  GetDlgItemTextA(box, kMessageBoxTextId, text, sizeof text);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  EXPECT_TRUE(WaitUntilGone(box));
  EXPECT_TRUE(IsWindowVisible(dialog)) << "the dialog stays open";
  return text;
}

// Enter (or Escape) as typed into one of the dialog's controls.
void PressKeyIn(HWND dialog, int id, WPARAM key) {
  HWND control = GetDlgItem(dialog, id);
  PostMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
  PostMessageA(control, WM_KEYDOWN, key, 1);
  PostMessageA(control, WM_KEYUP, key, 0xC0000001);
}

class ConfigDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plugin_.Load();
  }
  static void TearDownTestSuite() {
    plugin_.Unload();
  }

  void SetUp() override {
    turn_ = std::make_unique<SettingsKeyTurn>();
    DeleteSettingsKey();
    ASSERT_TRUE(plugin_.ready()) << plugin_.error();
  }
  void TearDown() override {
    DeleteSettingsKey();
    turn_.reset();
  }

  std::unique_ptr<SettingsKeyTurn> turn_;

  static void DeleteSettingsKey() { ASSERT_EQ(testing::DeleteSettingsKey(), ERROR_SUCCESS); }

  static void StoreText(const char* name, const std::string& text) {
    HKEY raw = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
              ERROR_SUCCESS);
    OwnedKey key(raw);
    RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  }

  static void StoreAll(const char* start, const char* end, const char* del, const char* meter) {
    StoreText("SFVStart", start);
    StoreText("SFVEnd", end);
    StoreText("SFVDel", del);
    StoreText("SFVMeter", meter);
  }

  // The stored text, or "<absent>".
  static std::string Stored(const char* name) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return "<absent>";
    OwnedKey key(raw);
    char text[300] = {};
    DWORD size = sizeof text - 1;
    if (RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS) {
      return "<absent>";
    }
    return text;
  }

  static std::string StoredAll() {
    return Stored("SFVStart") + "|" + Stored("SFVEnd") + "|" + Stored("SFVDel") + "|" + Stored("SFVMeter");
  }

  // Opens the dialog through the hook on this thread and lets `drive` work it
  // from another thread. If the dialog is still open when `drive` returns,
  // it is cancelled so that the hook returns.
  static void OpenDialog(const std::function<void(HWND)>& drive) {
    std::thread driver([&drive] {
      HWND dialog = WaitForWindow([] {
        HWND window = FindWindowA("#32770", kDialogCaption);
        return window != nullptr && IsWindowVisible(window) ? window : nullptr;
      });
      if (dialog == nullptr) {
        ADD_FAILURE() << "the dialog did not open";
        return;
      }
      // Returns once the dialog's thread has finished its initialisation.
      DWORD_PTR ignored = 0;
      SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored);
      drive(dialog);
      if (IsWindow(dialog)) {
        if (HWND box = FindWindowA("#32770", kPreviewCaption)) PostMessageA(box, WM_COMMAND, IDOK, 0);
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
      }
    });
    HostEventRecord record;
    std::memset(&record, 0, sizeof record);
    record.eventCode = kEventMenuChosen;
    record.menuIndex = 0;
    EXPECT_EQ(plugin_.QndrlEvent(record), 0);
    driver.join();
    EXPECT_EQ(FindWindowA("#32770", kDialogCaption), nullptr) << "the dialog is closed when the hook returns";
  }

  static PluginLoader plugin_;
};

PluginLoader ConfigDialogTest::plugin_;

TEST_F(ConfigDialogTest, PreviewAndCancelLeaveTheStoreAsItWas) {
  StoreAll("--==[", "]==-- ", "0", "1");
  const std::string before = StoredAll();
  OpenDialog([](HWND dialog) {
    EXPECT_EQ(Preview(dialog), "--==[#############------]==--  100% complete");
    // A change shows in the preview but is not stored by it.
    TypeInto(dialog, IDC_START_TRAIL, "<<");
    EXPECT_EQ(Preview(dialog), "<<#############------]==--  100% complete");
    Click(dialog, IDC_METER_FLAG);
    EXPECT_EQ(Preview(dialog), "<< 100% complete ]==-- ");
    EXPECT_EQ(Stored("SFVStart"), "--==[");
    Click(dialog, IDC_CANCEL_BUTTON);
    EXPECT_TRUE(WaitUntilGone(dialog));
  });
  EXPECT_EQ(StoredAll(), before);

  // The next opening reads the store afresh and OK writes the change.
  OpenDialog([](HWND dialog) {
    EXPECT_EQ(TextOf(GetDlgItem(dialog, IDC_START_TRAIL)), "--==[");
    TypeInto(dialog, IDC_START_TRAIL, "<<");
    Click(dialog, IDOK);
  });
  EXPECT_EQ(StoredAll(), "<<|]==-- |0|1");
}

TEST_F(ConfigDialogTest, EscapeAndTheCloseBoxDoNotSave) {
  StoreAll("a", "b", "1", "0");
  OpenDialog([](HWND dialog) {
    TypeInto(dialog, IDC_START_TRAIL, "changed");
    PressKeyIn(dialog, IDC_START_TRAIL, VK_ESCAPE);
    EXPECT_TRUE(WaitUntilGone(dialog));
  });
  OpenDialog([](HWND dialog) {
    TypeInto(dialog, IDC_END_TRAIL, "changed");
    Click(dialog, IDC_DELETE_FLAG);
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(WaitUntilGone(dialog));
  });
  EXPECT_EQ(StoredAll(), "a|b|1|0");
}

TEST_F(ConfigDialogTest, EnterInEitherEditBoxSaves) {
  StoreAll("a", "b", "0", "1");
  OpenDialog([](HWND dialog) {
    TypeInto(dialog, IDC_START_TRAIL, "start");
    PressKeyIn(dialog, IDC_START_TRAIL, VK_RETURN);
    EXPECT_TRUE(WaitUntilGone(dialog));
  });
  EXPECT_EQ(StoredAll(), "start|b|0|1");
  OpenDialog([](HWND dialog) {
    TypeInto(dialog, IDC_END_TRAIL, "end");
    PressKeyIn(dialog, IDC_END_TRAIL, VK_RETURN);
    EXPECT_TRUE(WaitUntilGone(dialog));
  });
  EXPECT_EQ(StoredAll(), "start|end|0|1");
}

TEST_F(ConfigDialogTest, WithoutTheKeyTheDialogIsEmptyAndOkStoresThat) {
  OpenDialog([](HWND dialog) {
    EXPECT_EQ(TextOf(GetDlgItem(dialog, IDC_START_TRAIL)), "");
    EXPECT_EQ(TextOf(GetDlgItem(dialog, IDC_END_TRAIL)), "");
    EXPECT_FALSE(IsTicked(dialog, IDC_DELETE_FLAG));
    EXPECT_FALSE(IsTicked(dialog, IDC_METER_FLAG));
    EXPECT_EQ(Preview(dialog), " 100% complete ");
    Click(dialog, IDC_METER_FLAG);
    EXPECT_EQ(Preview(dialog), "#############------ 100% complete");
    Click(dialog, IDC_METER_FLAG);
    Click(dialog, IDOK);
  });
  EXPECT_EQ(StoredAll(), "||0|0");
  // Checks then run with empty trails and without the bar.
  const RunSettings settings = ReadRunSettings();
  EXPECT_EQ(settings.startTrail, "");
  EXPECT_EQ(settings.meterFlag, 0);
}

TEST_F(ConfigDialogTest, DeleteFlagsOutsideZeroToTwoShowClear) {
  const struct {
    const char* stored;
    bool ticked;
    const char* saved;
  } cases[] = {{"5", false, "0"}, {"-1", false, "0"}, {"2", true, "1"}, {"1", true, "1"}, {"abc", false, "0"}};
  for (const auto& c : cases) {
    StoreAll("s", "e", c.stored, "0");
    OpenDialog([&c](HWND dialog) {
      EXPECT_EQ(IsTicked(dialog, IDC_DELETE_FLAG), c.ticked) << c.stored;
      Click(dialog, IDOK);
    });
    EXPECT_EQ(Stored("SFVDel"), c.saved) << c.stored;
  }
}

TEST_F(ConfigDialogTest, MeterBoxWithAndWithoutTheKey) {
  StoreText("SFVStart", "only");
  OpenDialog([](HWND dialog) {
    EXPECT_TRUE(IsTicked(dialog, IDC_METER_FLAG));
    EXPECT_FALSE(IsTicked(dialog, IDC_DELETE_FLAG));
    // A trail that cannot be read shows as the trail a check uses.
    EXPECT_EQ(TextOf(GetDlgItem(dialog, IDC_END_TRAIL)), "]==-- ");
    EXPECT_EQ(TextOf(GetDlgItem(dialog, IDC_START_TRAIL)), "only");
  });
  StoreText("SFVMeter", "abc");
  OpenDialog([](HWND dialog) { EXPECT_FALSE(IsTicked(dialog, IDC_METER_FLAG)); });
}

// Opened from the host's window (the active window of the calling thread),
// the dialog is owned by it: the host's window takes no input while the
// dialog is open, so the menu cannot open a second one nor the server close
// under it, and it takes input again once the dialog has closed.
TEST_F(ConfigDialogTest, TheCallersActiveWindowOwnsTheDialogAndIsDisabledMeanwhile) {
  HWND host = CreateWindowExA(0, "Static", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                              nullptr, nullptr, nullptr);
  ASSERT_NE(host, nullptr);
  SetActiveWindow(host);
  ASSERT_EQ(GetActiveWindow(), host);
  OpenDialog([host](HWND dialog) {
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), host);
    EXPECT_FALSE(IsWindowEnabled(host));
    Click(dialog, IDC_CANCEL_BUTTON);
    EXPECT_TRUE(WaitUntilGone(dialog));
  });
  EXPECT_TRUE(IsWindowEnabled(host));
  DestroyWindow(host);
}

// The template as the running dialog shows it; positions in dialog units are
// converted with the dialog's own font.
TEST_F(ConfigDialogTest, TemplateAsShown) {
  OpenDialog([](HWND dialog) {
    EXPECT_EQ(TextOf(dialog), kDialogCaption);
    const LONG style = GetWindowLongA(dialog, GWL_STYLE);
    const LONG expected = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    EXPECT_EQ(style & expected, expected);
    EXPECT_EQ(style & (WS_CHILD | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | DS_CENTER), 0);
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), nullptr);  // this thread has no active window

    RECT size = {0, 0, 226, 82};
    ASSERT_TRUE(MapDialogRect(dialog, &size));
    RECT client = {};
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    RECT frame = {};
    GetWindowRect(dialog, &frame);
    EXPECT_EQ(frame.left, 0);  // not centred
    EXPECT_EQ(frame.top, 0);

    const struct {
      int id;
      const char* className;
      const char* text;
      int x, y, width, height;
      LONG style;  // kind bits and tab stop
    } controls[] = {
        {IDOK, "Button", "OK", 167, 10, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
        {IDC_CANCEL_BUTTON, "Button", "Cancel", 167, 27, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_START_TRAIL, "Edit", "", 45, 10, 60, 14, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
        {-1, "Static", "Start trail :", 6, 12, 32, 8, SS_LEFT},
        {IDC_PREVIEW, "Button", "Preview", 113, 20, 45, 14, BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_DELETE_FLAG, "Button", "Delete 100% complete folder when upload finished", 21, 66, 175, 10,
         BS_AUTOCHECKBOX | WS_TABSTOP},
        {IDC_END_TRAIL, "Edit", "", 45, 27, 60, 14, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
        {-1, "Static", "End trail :", 6, 28, 30, 8, SS_LEFT},
        {IDC_METER_FLAG, "Button", "Display meter in folder name", 21, 54, 104, 10, BS_AUTOCHECKBOX | WS_TABSTOP},
    };
    // Child windows run in tab order.
    HWND control = GetWindow(dialog, GW_CHILD);
    for (const auto& c : controls) {
      ASSERT_NE(control, nullptr) << "missing control " << c.id;
      EXPECT_EQ(GetDlgCtrlID(control), c.id & 0xFFFF) << c.text;
      EXPECT_EQ(ClassOf(control), c.className) << c.id;
      EXPECT_EQ(TextOf(control), c.text) << c.id;
      LONG controlStyle = GetWindowLongA(control, GWL_STYLE);
      // An edit box may turn its border into a sunken client edge.
      if (GetWindowLongA(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) controlStyle |= WS_BORDER;
      const bool isEdit = std::strcmp(c.className, "Edit") == 0;
      const LONG kindMask = isEdit ? (ES_AUTOHSCROLL | ES_MULTILINE) : 0x0F;
      EXPECT_EQ(controlStyle & (kindMask | WS_TABSTOP | WS_BORDER), c.style) << c.id;
      EXPECT_TRUE(controlStyle & WS_VISIBLE) << c.id;

      // Position and size are converted each on its own, as the dialog does.
      RECT expected = {c.x, c.y, c.width, c.height};
      MapDialogRect(dialog, &expected);
      RECT actual = {};
      GetWindowRect(control, &actual);
      MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
      EXPECT_EQ(actual.left, expected.left) << c.id;
      EXPECT_EQ(actual.top, expected.top) << c.id;
      EXPECT_EQ(actual.right - actual.left, expected.right) << c.id;
      EXPECT_EQ(actual.bottom - actual.top, expected.bottom) << c.id;
      control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(control, nullptr) << "more controls than expected";

    // The keyboard focus starts on the OK button.
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    EXPECT_EQ(info.hwndFocus, GetDlgItem(dialog, IDOK));
  });
}

}  // namespace
}  // namespace sfvcheck
