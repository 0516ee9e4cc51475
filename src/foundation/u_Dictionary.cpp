#include "u_Dictionary.h"
#include <algorithm>

std::int32_t TIntegerList::Add(std::int32_t value) {
  if (FCount == FCapacity) Grow();
  FItems[static_cast<std::size_t>(FCount)] = value;
  return FCount++;
}

std::int32_t TIntegerList::Get(std::int32_t index) const {
  if (index < 0 || index >= FCount) throw EListError(Format(SListIndexError, {index}));
  return FItems[static_cast<std::size_t>(index)];
}

void TIntegerList::Put(std::int32_t index, std::int32_t value) {
  if (index < 0 || index >= FCount) throw EListError(Format(SListIndexError, {index}));
  FItems[static_cast<std::size_t>(index)] = value;
}

void TIntegerList::Delete(std::int32_t index) {
  if (index < 0 || index >= FCount) throw EListError(Format(SListIndexError, {index}));
  auto first = FItems.begin() + index;
  std::move(first + 1, FItems.begin() + FCount, first);
  --FCount;
}

void TIntegerList::SetCount(std::int32_t count) {
  if (count < 0 || count > MaxListSize) throw EListError(Format(SListCountError, {count}));
  if (count > FCapacity) SetCapacity(count);
  if (count > FCount)
    std::fill(FItems.begin() + FCount, FItems.begin() + count, 0);
  FCount = count;
}

void TIntegerList::SetCapacity(std::int32_t capacity) {
  if (capacity < FCount || capacity > MaxListSize)
    throw EListError(Format(SListCapacityError, {capacity}));
  FItems.resize(static_cast<std::size_t>(capacity));
  FItems.shrink_to_fit();
  FCapacity = capacity;
}

void TIntegerList::Clear() {
  FCount = 0;
  SetCapacity(0);
}

void TIntegerList::Grow() {
  std::int64_t delta = FCapacity > 64 ? FCapacity / 4 : FCapacity > 8 ? 16 : 4;
  std::int64_t grown = std::min<std::int64_t>(FCapacity + delta, MaxListSize);
  // At the limit, asking for one more raises the capacity error.
  SetCapacity(static_cast<std::int32_t>(grown > FCapacity ? grown : grown + 1));
}
