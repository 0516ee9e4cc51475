// Keyed collections: string-keyed maps that compare keys with or without letter case, list them
// in key order or in order of first insertion, and report additions and removals through Notify.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "u_CodePage.h"
#include "u_Errors.h"

class EDictionaryError : public Exception { using Exception::Exception; };

inline constexpr const char* SDictionaryDuplicate = "%s - element \"%s\" is already in collection";
inline constexpr const char* SDictionaryNotFound = "%s - element \"%s\" not found in collection";

enum class TDictionaryNotification { Added, Removed };

// Growable array of 32-bit values with the runtime's bounds errors.
class TIntegerList {
public:
  static constexpr std::int32_t MaxListSize = 134217727;

  std::int32_t Add(std::int32_t value);
  std::int32_t Get(std::int32_t index) const;
  std::int32_t operator[](std::int32_t index) const { return Get(index); }
  void Put(std::int32_t index, std::int32_t value);
  void Delete(std::int32_t index);
  std::int32_t Count() const { return FCount; }
  void SetCount(std::int32_t count);
  std::int32_t Capacity() const { return FCapacity; }
  void SetCapacity(std::int32_t capacity);
  void Clear();

private:
  void Grow();
  std::vector<std::int32_t> FItems;  // size() is the capacity
  std::int32_t FCount = 0;
  std::int32_t FCapacity = 0;
};

// Strict weak order over keys for the map: ordinal or ignoring letter case in the book's code page.
// Transparent, so lookups take a string_view without building a string.
struct TKeyLess {
  using is_transparent = void;
  bool CaseInsensitive = true;
  bool operator()(std::string_view a, std::string_view b) const {
    return (CaseInsensitive ? CompareText(a, b) : CompareStr(a, b)) < 0;
  }
};

// The map behind every dictionary. V is the stored value. The stored key keeps the letter case it
// was first added with. In unsorted mode a second index keeps the order of first insertion.
template <class V>
class TCustomDictionary {
public:
  using TMap = std::map<std::string, std::pair<V, std::uint64_t>, TKeyLess>;

  TCustomDictionary(bool caseInsensitive, bool sorted)
      : FSorted(sorted), FMap(TKeyLess{caseInsensitive}) {}
  virtual ~TCustomDictionary() = default;
  TCustomDictionary(const TCustomDictionary&) = delete;
  TCustomDictionary& operator=(const TCustomDictionary&) = delete;

  bool CaseInsensitive() const { return FMap.key_comp().CaseInsensitive; }
  bool Sorted() const { return FSorted; }
  std::int32_t Count() const { return static_cast<std::int32_t>(FMap.size()); }

  void Add(const std::string& key, V value) {
    auto [it, inserted] = FMap.try_emplace(key, std::move(value), FNextInsertion);
    if (!inserted)
      throw EDictionaryError(Format(SDictionaryDuplicate, {"TDictionary.Add", key}));
    Inserted(it);
    Notify(it->first, it->second.first, TDictionaryNotification::Added);
  }

  void Set_Item(const std::string& key, V value) {
    auto it = FMap.find(key);
    if (it == FMap.end()) {
      Add(key, std::move(value));
      return;
    }
    Notify(it->first, it->second.first, TDictionaryNotification::Removed);
    it->second.first = std::move(value);
    Notify(it->first, it->second.first, TDictionaryNotification::Added);
  }

  const V& Get_Item(std::string_view key) const {
    auto it = FMap.find(key);
    if (it == FMap.end())
      throw EDictionaryError(Format(SDictionaryNotFound, {"TDictionary.Get_Item", key}));
    return it->second.first;
  }

  V GetItemDef(std::string_view key, V def) const {
    auto it = FMap.find(key);
    return it == FMap.end() ? def : it->second.first;
  }

  // The value, or nullptr when the key is missing.
  const V* FindValue(std::string_view key) const {
    auto it = FMap.find(key);
    return it == FMap.end() ? nullptr : &it->second.first;
  }

  bool Exists(std::string_view key) const { return FMap.find(key) != FMap.end(); }

  void Delete(std::string_view key) {
    auto it = FMap.find(key);
    if (it == FMap.end())
      throw EDictionaryError(Format(SDictionaryNotFound, {"TDictionary.Delete", key}));
    Remove(it);
  }

  void Clear() {
    while (!FMap.empty()) Remove(FMap.begin());
    FNextInsertion = 0;
  }

  // Keys and values in listing order: key order when sorted, first insertion otherwise.
  std::vector<std::string> GetKeys() const {
    std::vector<std::string> keys;
    keys.reserve(FMap.size());
    ForEach([&](const std::string& k, const V&) { keys.push_back(k); });
    return keys;
  }

  std::vector<V> GetValues() const {
    std::vector<V> values;
    values.reserve(FMap.size());
    ForEach([&](const std::string&, const V& v) { values.push_back(v); });
    return values;
  }

  template <class F>
  void ForEach(F&& f) const {
    if (FSorted) {
      for (const auto& [k, v] : FMap) f(k, v.first);
    } else {
      for (const auto& [n, it] : FOrder) f(it->first, it->second.first);
    }
  }

protected:
  // Called after a value enters the map and when one leaves it.
  virtual void Notify(const std::string& /*key*/, const V& /*value*/, TDictionaryNotification) {}

private:
  void Inserted(typename TMap::iterator it) {
    if (!FSorted) FOrder.emplace(FNextInsertion, it);
    ++FNextInsertion;
  }

  void Remove(typename TMap::iterator it) {
    if (!FSorted) FOrder.erase(it->second.second);
    std::string key = it->first;
    V value = std::move(it->second.first);
    FMap.erase(it);
    Notify(key, value, TDictionaryNotification::Removed);
  }

  bool FSorted;
  TMap FMap;
  std::map<std::uint64_t, typename TMap::iterator> FOrder;
  std::uint64_t FNextInsertion = 0;
};

// Pointer-sized values: indices, or addresses the caller manages.
class TDictionary : public TCustomDictionary<std::intptr_t> {
public:
  using TCustomDictionary::TCustomDictionary;
};

// String values; the first value added under a key wins for AddString.
class TStringToStringDictionary : public TCustomDictionary<std::string> {
public:
  using TCustomDictionary::TCustomDictionary;
  void AddString(const std::string& key, const std::string& text) {
    if (!Exists(key)) Add(key, text);
  }
  void SetString(const std::string& key, const std::string& text) { Set_Item(key, text); }
  const std::string& GetString(std::string_view key) const { return Get_Item(key); }
};

// String-keyed map to objects, optionally owning (deleting) them.
template <class T>
class TObjectDictionary {
public:
  TObjectDictionary(bool caseInsensitive, bool sorted, bool ownsObjects)
      : FDictionary(caseInsensitive, sorted), FOwnsObjects(ownsObjects) {}
  ~TObjectDictionary() { Clear(); }
  TObjectDictionary(const TObjectDictionary&) = delete;
  TObjectDictionary& operator=(const TObjectDictionary&) = delete;

  bool OwnsObjects() const { return FOwnsObjects; }
  std::int32_t Count() const { return FDictionary.Count(); }

  void Add(const std::string& key, T* object) { FDictionary.Add(key, object); }

  // Frees the object stored under the key when owning; storing the very object that is already
  // there keeps it alive.
  void Set_Item(const std::string& key, T* object) {
    if (FOwnsObjects) {
      if (T* const* old = FDictionary.FindValue(key); old && *old != object) {
        T* doomed = *old;
        FDictionary.Set_Item(key, object);
        delete doomed;
        return;
      }
    }
    FDictionary.Set_Item(key, object);
  }

  T* Find(std::string_view key) const { return FDictionary.GetItemDef(key, nullptr); }
  bool Exists(std::string_view key) const { return FDictionary.Exists(key); }

  void Remove(std::string_view key) {
    T* object = Extract(key);
    if (FOwnsObjects) delete object;
  }

  T* Extract(std::string_view key) {
    T* const* found = FDictionary.FindValue(key);
    if (!found) return nullptr;
    T* object = *found;
    FDictionary.Delete(key);
    return object;
  }

  std::vector<T*> GetValues() const { return FDictionary.GetValues(); }
  std::vector<std::string> GetKeys() const { return FDictionary.GetKeys(); }

  template <class F>
  void ForEach(F&& f) const {
    FDictionary.ForEach(std::forward<F>(f));
  }

  // Empties the map without freeing anything; the caller takes the objects, in listing order.
  std::vector<T*> ExtractAll() {
    std::vector<T*> objects = FDictionary.GetValues();
    FDictionary.Clear();
    return objects;
  }

  void Clear() {
    if (FOwnsObjects) {
      // Take the objects out first so that a destructor looking back into this map sees it empty.
      for (T* object : ExtractAll()) delete object;
    } else {
      FDictionary.Clear();
    }
  }

private:
  TCustomDictionary<T*> FDictionary;
  bool FOwnsObjects;
};
