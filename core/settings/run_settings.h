// The plug-in's four settings, their defaults and their stored forms. No
// registry access here: that is win32/registry_store_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sfvcheck {

inline constexpr char kSettingsKeyForReading[] = "Software\\Quendrell";
inline constexpr char kSettingsKeyForWriting[] = "SOFTWARE\\Quendrell";
inline constexpr char kStartTrailValue[] = "SFVStart";
inline constexpr char kEndTrailValue[] = "SFVEnd";
inline constexpr char kDeleteFlagValue[] = "SFVDel";
inline constexpr char kMeterFlagValue[] = "SFVMeter";
// The outcome log's file name, beside the four values but not one of the
// RunSettings: the dialog neither shows nor writes it. Empty or absent: no log.
inline constexpr char kLogFileValue[] = "LogFile";

inline constexpr char kDefaultStartTrail[] = "--==[";
inline constexpr char kDefaultEndTrail[] = "]==-- ";
inline constexpr std::int32_t kDefaultDeleteFlag = 0;
inline constexpr std::int32_t kDefaultMeterFlag = 1;

// Every value is read through a buffer of this size; a longer text can be
// stored but not read back.
inline constexpr std::size_t kValueReadLimit = 260;

struct RunSettings {
  std::string startTrail = kDefaultStartTrail;
  std::string endTrail = kDefaultEndTrail;
  std::int32_t deleteFlag = kDefaultDeleteFlag;  // on when nonzero
  std::int32_t meterFlag = kDefaultMeterFlag;    // on when nonzero
};

// Decimal reading of a stored flag: leading white space, one optional sign,
// digits up to the first non-digit; saturates at all bits set; 0 when no digit.
std::int32_t ParseFlagText(std::string_view text);

// A flag as it is stored: decimal, "-" only for negative numbers.
std::string FormatFlagText(std::int32_t flag);

// A stored value's bytes taken as text: up to the first NUL, or all of them.
std::string TextFromStoredBytes(const char* bytes, std::size_t size);

}  // namespace sfvcheck
