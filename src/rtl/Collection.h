#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace rtl {

class TCollection;

// An item that lives in a collection and knows its place there.
class TCollectionItem {
 public:
  virtual ~TCollectionItem() = default;
  TCollection* Collection() const { return collection_; }
  int Index() const;

 private:
  friend class TCollection;
  TCollection* collection_ = nullptr;
};

// An ordered list that owns its items and makes new ones of its own item class.
class TCollection {
 public:
  virtual ~TCollection() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  TCollectionItem* Items(int index) const {
    return items_.at(static_cast<std::size_t>(index)).get();
  }
  int IndexOf(const TCollectionItem* item) const;

  TCollectionItem* Add();
  void Delete(int index);
  void Clear() { items_.clear(); }

 protected:
  virtual std::unique_ptr<TCollectionItem> NewItem() const = 0;

 private:
  std::vector<std::unique_ptr<TCollectionItem>> items_;
};

// A collection of one item class; Owner is the object the collection belongs to.
template <class Item, class OwnerType = void>
class TCollectionOf : public TCollection {
 public:
  explicit TCollectionOf(OwnerType* owner = nullptr) : owner_(owner) {}

  OwnerType* Owner() const { return owner_; }
  Item* Add() { return static_cast<Item*>(TCollection::Add()); }
  Item* Items(int index) const { return static_cast<Item*>(TCollection::Items(index)); }

 protected:
  std::unique_ptr<TCollectionItem> NewItem() const override { return std::make_unique<Item>(); }

 private:
  OwnerType* owner_;
};

}  // namespace rtl
