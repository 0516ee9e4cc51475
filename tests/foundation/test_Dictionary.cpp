#include <gtest/gtest.h>

#include "test_util.h"

#include <string>
#include <vector>

#include "u_Dictionary.h"

namespace {

using Keys = std::vector<std::string>;

TEST(DictionaryKeys, LetterCaseMakesOneKeyAndFirstSpellingIsKept) {
  TDictionary d(true, true);
  d.Add("Page", 1);
  d.Set_Item("PAGE", 2);
  EXPECT_EQ(d.Count(), 1);
  EXPECT_EQ(d.Get_Item("page"), 2);
  EXPECT_EQ(d.GetKeys(), Keys{"Page"});
  EXPECT_TRUE(d.Exists("pAgE"));
}

TEST(DictionaryKeys, CaseSensitiveMapKeepsSpellingsApartInByteOrder) {
  TDictionary d(false, true);
  d.Add("a", 1);
  d.Add("A", 2);
  d.Add("B", 3);
  EXPECT_EQ(d.Count(), 3);
  EXPECT_EQ(d.GetKeys(), (Keys{"A", "B", "a"}));
  EXPECT_FALSE(d.Exists("b"));
}

TEST(DictionaryKeys, SortedListingIsStringOrderIgnoringCase) {
  TDictionary d(true, true);
  for (const char* k : {"2", "b", "10", "A", "_x"}) d.Add(k, 0);
  EXPECT_EQ(d.GetKeys(), (Keys{"10", "2", "_x", "A", "b"}));
}

TEST(DictionaryKeys, EmptyKeyAndEmbeddedZeroBytesAreKeys) {
  TDictionary d(true, true);
  d.Add("", 7);
  d.Add(std::string("a\0b", 3), 8);
  d.Add("a", 9);
  EXPECT_EQ(d.Get_Item(""), 7);
  EXPECT_EQ(d.Get_Item(std::string("A\0B", 3)), 8);
  EXPECT_EQ(d.Count(), 3);
}

TEST(DictionaryOrder, UnsortedListsFirstInsertionAndReplacingKeepsPlace) {
  TDictionary d(true, false);
  d.Add("zeta", 1);
  d.Add("alpha", 2);
  d.Add("mid", 3);
  d.Set_Item("ZETA", 4);
  EXPECT_EQ(d.GetKeys(), (Keys{"zeta", "alpha", "mid"}));
  EXPECT_EQ(d.GetValues(), (std::vector<std::intptr_t>{4, 2, 3}));
  d.Delete("zeta");
  d.Add("zeta", 5);
  EXPECT_EQ(d.GetKeys(), (Keys{"alpha", "mid", "zeta"}));
  d.Clear();
  EXPECT_EQ(d.Count(), 0);
  d.Add("b", 1);
  d.Add("a", 1);
  EXPECT_EQ(d.GetKeys(), (Keys{"b", "a"}));
}

TEST(DictionaryErrors, MessagesNameOperationAndKeyAndLeaveMapUnchanged) {
  TDictionary d(true, true);
  d.Add("Key", 1);
  EXPECT_EQ(MessageOf([&] { d.Add("KEY", 2); }), "TDictionary.Add - element \"KEY\" is already in collection");
  EXPECT_EQ(d.Get_Item("key"), 1);
  EXPECT_EQ(MessageOf([&] { d.Get_Item("nope"); }), "TDictionary.Get_Item - element \"nope\" not found in collection");
  EXPECT_EQ(MessageOf([&] { d.Delete("nope"); }), "TDictionary.Delete - element \"nope\" not found in collection");
  EXPECT_THROW(d.Delete("gone"), EDictionaryError);
  EXPECT_EQ(d.Count(), 1);
  EXPECT_EQ(d.GetItemDef("nope", -5), -5);
}

class RecordingDictionary : public TDictionary {
public:
  using TDictionary::TDictionary;
  std::vector<std::string> Log;

protected:
  void Notify(const std::string& key, const std::intptr_t& value, TDictionaryNotification action) override {
    Log.push_back((action == TDictionaryNotification::Added ? "+" : "-") + key + "=" + std::to_string(value));
  }
};

TEST(DictionaryNotify, ReportsEveryAdditionAndRemovalInOrder) {
  RecordingDictionary d(true, true);
  d.Add("a", 1);
  d.Set_Item("A", 2);
  d.Set_Item("b", 3);
  d.Delete("a");
  EXPECT_THROW(d.Add("b", 9), EDictionaryError);
  d.Clear();
  EXPECT_EQ(d.Log, (Keys{"+a=1", "-a=1", "+a=2", "+b=3", "-a=2", "-b=3"}));
}

TEST(StringDictionary, FirstValueWinsForAddStringAndSetStringReplaces) {
  TStringToStringDictionary d(true, true);
  d.AddString("Title", "first");
  d.AddString("TITLE", "second");
  EXPECT_EQ(d.GetString("title"), "first");
  d.SetString("title", "third");
  EXPECT_EQ(d.GetString("Title"), "third");
  EXPECT_EQ(d.GetKeys(), Keys{"Title"});
  EXPECT_EQ(MessageOf([&] { d.GetString("x"); }), "TDictionary.Get_Item - element \"x\" not found in collection");
}

struct Counted {
  explicit Counted(std::vector<int>* freed, int id) : Freed(freed), Id(id) {}
  ~Counted() { Freed->push_back(Id); }
  std::vector<int>* Freed;
  int Id;
};

TEST(ObjectDictionary, OwningMapFreesReplacedRemovedAndClearedObjects) {
  std::vector<int> freed;
  {
    TObjectDictionary<Counted> d(true, true, true);
    d.Add("b", new Counted(&freed, 1));
    d.Set_Item("B", new Counted(&freed, 2));
    EXPECT_EQ(freed, std::vector<int>{1});
    d.Add("a", new Counted(&freed, 3));
    d.Add("c", new Counted(&freed, 4));
    d.Remove("C");
    EXPECT_EQ(freed, (std::vector<int>{1, 4}));
    Counted* kept = d.Extract("a");
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(d.Count(), 1);
    delete kept;
    d.Add("z", new Counted(&freed, 5));
  }
  // Destruction frees the rest in listing order.
  EXPECT_EQ(freed, (std::vector<int>{1, 4, 3, 2, 5}));
}

TEST(ObjectDictionary, StoringTheSameObjectAgainKeepsItAlive) {
  std::vector<int> freed;
  TObjectDictionary<Counted> d(true, true, true);
  auto* c = new Counted(&freed, 1);
  d.Add("k", c);
  d.Set_Item("K", c);
  EXPECT_TRUE(freed.empty());
  EXPECT_EQ(d.Find("k"), c);
}

TEST(ObjectDictionary, MissingKeysAreNotErrorsAndNonOwningMapFreesNothing) {
  std::vector<int> freed;
  Counted a(&freed, 1), b(&freed, 2);
  {
    TObjectDictionary<Counted> d(true, true, false);
    EXPECT_EQ(d.Find("x"), nullptr);
    EXPECT_EQ(d.Extract("x"), nullptr);
    d.Remove("x");
    d.Add("a", &a);
    d.Set_Item("a", &b);
    d.Remove("a");
    d.Add("b", &b);
    EXPECT_THROW(d.Add("B", &a), EDictionaryError);
    EXPECT_EQ(d.GetValues(), std::vector<Counted*>{&b});
  }
  EXPECT_TRUE(freed.empty());
}

TEST(IntegerList, GrowsByFourThenSixteenThenAQuarter) {
  TIntegerList l;
  std::vector<int> capacities;
  for (int i = 0; i < 100; ++i) {
    int before = l.Capacity();
    l.Add(i);
    if (l.Capacity() != before) capacities.push_back(l.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int>{4, 8, 12, 28, 44, 60, 76, 95, 118}));
  EXPECT_EQ(l.Count(), 100);
  EXPECT_EQ(l[99], 99);
}

TEST(IntegerList, IndexCountAndCapacityErrorsAndEdits) {
  TIntegerList l;
  for (int v : {10, 20, 30}) l.Add(v);
  l.Delete(0);
  EXPECT_EQ(l.Count(), 2);
  EXPECT_EQ(l[0], 20);
  EXPECT_EQ(MessageOf([&] { l.Get(2); }), "List index out of bounds (2)");
  EXPECT_EQ(MessageOf([&] { l.Delete(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(MessageOf([&] { l.SetCapacity(1); }), "List capacity out of bounds (1)");
  EXPECT_EQ(MessageOf([&] { l.SetCapacity(134217728); }), "List capacity out of bounds (134217728)");
  EXPECT_EQ(MessageOf([&] { l.SetCount(-1); }), "List count out of bounds (-1)");
  l.SetCount(5);
  EXPECT_EQ(l[4], 0);
  l.Put(4, 7);
  l.SetCount(1);
  l.SetCount(5);
  EXPECT_EQ(l[4], 0);  // shrinking dropped the old value
  l.Clear();
  EXPECT_EQ(l.Count(), 0);
  EXPECT_EQ(l.Capacity(), 0);
}

}  // namespace
