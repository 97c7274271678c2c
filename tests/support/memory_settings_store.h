// An in-memory settings store: values as byte strings, a key that may be
// absent, and counts of how often it was opened.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "core/settings/settings_store.h"

namespace sfvcheck::testing {

class MemorySettingsStore : public SettingsStore {
 public:
  bool keyExists = false;
  std::map<std::string, std::string> values;  // stored bytes, NUL included for texts
  int readOpenings = 0;
  int writeOpenings = 0;

  // Stores `text` as a string value, the way WriteText does.
  void StoreText(const std::string& name, const std::string& text) {
    keyExists = true;
    values[name] = text + '\0';
  }

  std::unique_ptr<SettingsKey> OpenForReading() override {
    ++readOpenings;
    if (!keyExists) return nullptr;
    return std::make_unique<Key>(*this);
  }
  std::unique_ptr<SettingsKey> OpenForWriting() override {
    ++writeOpenings;
    keyExists = true;
    return std::make_unique<Key>(*this);
  }

 private:
  class Key : public SettingsKey {
   public:
    explicit Key(MemorySettingsStore& store) : store_(store) {}
    bool ReadValue(const char* name, char* buffer, std::size_t capacity, std::size_t* size) override {
      auto found = store_.values.find(name);
      if (found == store_.values.end() || found->second.size() > capacity) return false;
      std::memcpy(buffer, found->second.data(), found->second.size());
      *size = found->second.size();
      return true;
    }
    void WriteText(const char* name, const std::string& text) override { store_.values[name] = text + '\0'; }

   private:
    MemorySettingsStore& store_;
  };
};

}  // namespace sfvcheck::testing
