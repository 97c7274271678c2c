// The settings store against the Wine prefix's own registry. Every test starts
// by deleting the settings key, so each sees only what it stored itself.
#include "win32/registry_store_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/settings/settings_store.h"
#include "tools/support/settings_key_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

constexpr char kKey[] = "Software\\Quendrell";

using testing::SettingsKeyTurn;

struct StoredValue {
  bool present = false;
  DWORD type = 0;
  std::vector<char> bytes;
};

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    turn_ = std::make_unique<SettingsKeyTurn>();
    DeleteSettingsKey();
  }
  void TearDown() override {
    DeleteSettingsKey();
    turn_.reset();
  }

  std::unique_ptr<SettingsKeyTurn> turn_;

  static void DeleteSettingsKey() { ASSERT_EQ(testing::DeleteSettingsKey(), ERROR_SUCCESS); }

  static OwnedKey CreateKey() {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return OwnedKey(key);
  }

  static void StoreRaw(const char* name, DWORD type, const void* bytes, DWORD count) {
    OwnedKey key = CreateKey();
    ASSERT_EQ(RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(bytes), count), ERROR_SUCCESS);
  }

  // A text stored as a REG_SZ whose byte count includes the NUL.
  static void StoreText(const char* name, const std::string& text) {
    StoreRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
  }

  static StoredValue Query(const char* name) {
    StoredValue value;
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return value;
    OwnedKey key(raw);
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return value;
    value.bytes.resize(size);
    if (RegQueryValueExA(key.get(), name, nullptr, &value.type, reinterpret_cast<BYTE*>(value.bytes.data()),
                         &size) != ERROR_SUCCESS) {
      return value;
    }
    value.bytes.resize(size);
    value.present = true;
    return value;
  }

  static RunSettings ReadForDialog() {
    RunSettings fields = BlankDialogFields();
    ReadDialogSettings(fields);
    return fields;
  }
};

void ExpectSettings(const RunSettings& actual, const std::string& start, const std::string& end, int del,
                    int meter) {
  EXPECT_EQ(actual.startTrail, start);
  EXPECT_EQ(actual.endTrail, end);
  EXPECT_EQ(actual.deleteFlag, del);
  EXPECT_EQ(actual.meterFlag, meter);
}

TEST_F(RegistryStoreTest, WithoutTheKeyACheckUsesDefaultsAndTheDialogKeepsItsFields) {
  ExpectSettings(ReadRunSettings(), "--==[", "]==-- ", 0, 1);
  ExpectSettings(ReadForDialog(), "", "", 0, 0);

  RunSettings untouched;
  untouched.startTrail = "typed";
  untouched.meterFlag = 7;
  ReadDialogSettings(untouched);
  ExpectSettings(untouched, "typed", "]==-- ", 0, 7);
}

TEST_F(RegistryStoreTest, WrittenSettingsReadBackForCheckAndDialog) {
  RunSettings saved;
  saved.startTrail = "<<[";
  saved.endTrail = "]>> ";
  saved.deleteFlag = 1;
  saved.meterFlag = 0;
  WriteRunSettings(saved);
  ExpectSettings(ReadRunSettings(), "<<[", "]>> ", 1, 0);
  ExpectSettings(ReadForDialog(), "<<[", "]>> ", 1, 0);

  // A second save replaces every value.
  saved.startTrail = "a";
  saved.endTrail = "b";
  saved.deleteFlag = 0;
  saved.meterFlag = 1;
  WriteRunSettings(saved);
  ExpectSettings(ReadRunSettings(), "a", "b", 0, 1);
}

TEST_F(RegistryStoreTest, EmptyTrailsAreKeptNotDefaulted) {
  WriteRunSettings(BlankDialogFields());  // OK on a dialog opened without the key
  ExpectSettings(ReadRunSettings(), "", "", 0, 0);
  ExpectSettings(ReadForDialog(), "", "", 0, 0);

  DeleteSettingsKey();
  StoreText("SFVStart", "");
  EXPECT_EQ(ReadRunSettings().startTrail, "");
  EXPECT_EQ(ReadForDialog().startTrail, "");
}

TEST_F(RegistryStoreTest, KeyWithMissingValues) {
  StoreText("SFVStart", "S");
  // SFVEnd, SFVDel and SFVMeter absent: the meter is on for both readers; a
  // missing trail shows in the dialog as the trail a check uses.
  ExpectSettings(ReadRunSettings(), "S", "]==-- ", 0, 1);
  ExpectSettings(ReadForDialog(), "S", "]==-- ", 0, 1);

  DeleteSettingsKey();
  StoreText("SFVMeter", "0");
  ExpectSettings(ReadRunSettings(), "--==[", "]==-- ", 0, 0);
  ExpectSettings(ReadForDialog(), "--==[", "]==-- ", 0, 0);
}

TEST_F(RegistryStoreTest, FlagTextsAreReadAsDecimalNumbers) {
  struct Case {
    const char* stored;
    int expected;
  } cases[] = {{"abc", 0}, {"-1", -1}, {"99999999999", -1}, {"0x1", 0}, {"2", 2}, {" 5", 5}, {"12abc", 12}};
  for (const Case& c : cases) {
    StoreText("SFVDel", c.stored);
    StoreText("SFVMeter", c.stored);
    EXPECT_EQ(ReadRunSettings().deleteFlag, c.expected) << c.stored;
    EXPECT_EQ(ReadRunSettings().meterFlag, c.expected) << c.stored;
    EXPECT_EQ(ReadForDialog().deleteFlag, c.expected) << c.stored;
    EXPECT_EQ(ReadForDialog().meterFlag, c.expected) << c.stored;
  }
}

TEST_F(RegistryStoreTest, TheStoredTypeIsNotLookedAt) {
  const DWORD one = 1;
  StoreRaw("SFVMeter", REG_DWORD, &one, sizeof one);
  StoreRaw("SFVDel", REG_DWORD, &one, sizeof one);
  EXPECT_EQ(ReadRunSettings().meterFlag, 0);  // bytes 01 00 00 00: no digit
  EXPECT_EQ(ReadRunSettings().deleteFlag, 0);
  EXPECT_EQ(ReadForDialog().meterFlag, 0);

  StoreRaw("SFVEnd", REG_BINARY, "1\0" "2", 3);
  EXPECT_EQ(ReadRunSettings().endTrail, "1");  // up to the first NUL
}

TEST_F(RegistryStoreTest, ValuesWithoutNulCountAsTheirStoredBytes) {
  StoreRaw("SFVStart", REG_BINARY, "abc", 3);
  EXPECT_EQ(ReadRunSettings().startTrail, "abc");
  // A whole buffer's worth without any NUL is taken whole and no further.
  const std::string full(260, 'z');
  StoreRaw("SFVEnd", REG_BINARY, full.data(), 260);
  EXPECT_EQ(ReadRunSettings().endTrail, full);
  EXPECT_EQ(ReadForDialog().endTrail, full);
}

TEST_F(RegistryStoreTest, TrailsBeyondTheReadLimitFallBack) {
  RunSettings saved = BlankDialogFields();
  saved.startTrail = std::string(259, 's');
  saved.endTrail = std::string(260, 'e');
  WriteRunSettings(saved);
  EXPECT_EQ(Query("SFVStart").bytes.size(), 260u);
  EXPECT_EQ(Query("SFVEnd").bytes.size(), 261u);  // stored, but unreadable

  ExpectSettings(ReadRunSettings(), std::string(259, 's'), "]==-- ", 0, 0);
  ExpectSettings(ReadForDialog(), std::string(259, 's'), "]==-- ", 0, 0);

  // An unreadable flag: the check's default, and for the dialog 0 and 1.
  StoreText("SFVDel", std::string(300, '1'));
  StoreText("SFVMeter", std::string(300, '0'));
  EXPECT_EQ(ReadRunSettings().deleteFlag, 0);
  EXPECT_EQ(ReadRunSettings().meterFlag, 1);
  EXPECT_EQ(ReadForDialog().deleteFlag, 0);
  EXPECT_EQ(ReadForDialog().meterFlag, 1);
}

TEST_F(RegistryStoreTest, WritesFourTextValuesWithTheirNul) {
  StoreText("Other", "kept");
  RunSettings saved;
  saved.startTrail = "--==[";
  saved.endTrail = "]==-- ";
  saved.deleteFlag = -1;  // the dialog writes only 0 or 1; the store formats any flag
  saved.meterFlag = 1;
  WriteRunSettings(saved);

  const struct {
    const char* name;
    std::string text;
  } expected[] = {{"SFVStart", "--==["}, {"SFVEnd", "]==-- "}, {"SFVDel", "-1"}, {"SFVMeter", "1"}};
  for (const auto& e : expected) {
    const StoredValue value = Query(e.name);
    ASSERT_TRUE(value.present) << e.name;
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ)) << e.name;
    ASSERT_EQ(value.bytes.size(), e.text.size() + 1) << e.name;
    EXPECT_EQ(std::string(value.bytes.data(), e.text.size()), e.text) << e.name;
    EXPECT_EQ(value.bytes.back(), '\0') << e.name;
  }
  // Values that are not the plug-in's are left alone.
  EXPECT_TRUE(Query("Other").present);
}

}  // namespace
}  // namespace sfvcheck
