#include "rtl/Collection.h"

namespace rtl {

int TCollectionItem::Index() const {
  return collection_ ? collection_->IndexOf(this) : -1;
}

int TCollection::IndexOf(const TCollectionItem* item) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return static_cast<int>(i);
  return -1;
}

TCollectionItem* TCollection::Add() {
  items_.push_back(NewItem());
  items_.back()->collection_ = this;
  return items_.back().get();
}

void TCollection::Delete(int index) {
  items_.erase(items_.begin() + IndexOf(Items(index)));
}

}  // namespace rtl
