// The settings rules over an in-memory store: defaults, the read limit, and
// what the check and the dialog make of a missing key or an unreadable value.
#include "core/settings/settings_store.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/memory_settings_store.h"

namespace sfvcheck {
namespace {

using testing::MemorySettingsStore;

RunSettings Fields(const std::string& start, const std::string& end, int del, int meter) {
  RunSettings fields;
  fields.startTrail = start;
  fields.endTrail = end;
  fields.deleteFlag = del;
  fields.meterFlag = meter;
  return fields;
}

void ExpectSettings(const RunSettings& actual, const RunSettings& expected) {
  EXPECT_EQ(actual.startTrail, expected.startTrail);
  EXPECT_EQ(actual.endTrail, expected.endTrail);
  EXPECT_EQ(actual.deleteFlag, expected.deleteFlag);
  EXPECT_EQ(actual.meterFlag, expected.meterFlag);
}

TEST(SettingsStoreTest, WithoutTheKeyACheckUsesDefaultsAndTheDialogKeepsItsFields) {
  MemorySettingsStore store;
  ExpectSettings(ReadRunSettings(store), Fields("--==[", "]==-- ", 0, 1));
  EXPECT_EQ(store.readOpenings, 1);

  RunSettings typed = Fields("typed", "", 5, 7);
  ReadDialogSettings(store, typed);
  ExpectSettings(typed, Fields("typed", "", 5, 7));
  EXPECT_EQ(store.readOpenings, 1 + 4);  // one opening per value
}

TEST(SettingsStoreTest, UnreadableValuesBecomeTheCheckDefaultsForBothReaders) {
  MemorySettingsStore store;
  store.StoreText("SFVStart", std::string(259, 's'));  // 260 bytes with the NUL: fits
  store.StoreText("SFVEnd", std::string(260, 'e'));    // one byte over the limit
  store.StoreText("SFVDel", std::string(300, '1'));
  // SFVMeter absent.
  const RunSettings expected = Fields(std::string(259, 's'), "]==-- ", 0, 1);
  ExpectSettings(ReadRunSettings(store), expected);
  RunSettings fields = Fields("", "", 9, 9);
  ReadDialogSettings(store, fields);
  ExpectSettings(fields, expected);

  // A value of exactly the limit without a NUL is taken whole.
  store.values["SFVEnd"] = std::string(260, 'z');
  EXPECT_EQ(ReadRunSettings(store).endTrail, std::string(260, 'z'));
}

TEST(SettingsStoreTest, WrittenSettingsReadBackWithFlagsAsDecimalText) {
  MemorySettingsStore store;
  WriteRunSettings(store, Fields("", "]>> ", -1, 0));
  EXPECT_EQ(store.writeOpenings, 1);
  EXPECT_EQ(store.values["SFVStart"], std::string(1, '\0'));
  EXPECT_EQ(store.values["SFVDel"], std::string("-1", 3));
  EXPECT_EQ(store.values["SFVMeter"], std::string("0", 2));
  ExpectSettings(ReadRunSettings(store), Fields("", "]>> ", -1, 0));  // empty trails are kept

  store.StoreText("SFVMeter", " 12abc");
  RunSettings fields;
  ReadDialogSettings(store, fields);
  EXPECT_EQ(fields.meterFlag, 12);
}

}  // namespace
}  // namespace sfvcheck
