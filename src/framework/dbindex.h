// Index definitions of the dataset framework: what a dataset tells its users
// about the orders it offers (one definition per index or tag). A dataset
// fills them from its open indexes; they are not stored with the component.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/db.h"
#include "platform/text.h"

enum class TIndexOption { ixPrimary, ixUnique, ixDescending, ixCaseInsensitive, ixExpression };
using TIndexOptions = TSet<TIndexOption>;

class TIndexDef {
 public:
  TIndexDef(const std::string& name, const std::string& fields, TIndexOptions options)
      : name_(name), fields_(fields), options_(options) {}

  const std::string& Name() const { return name_; }
  // The key's fields separated by ";" (empty for an expression index).
  const std::string& Fields() const { return fields_; }
  // The whole key expression of an expression index (empty otherwise).
  const std::string& Expression() const { return expression_; }
  void SetExpression(const std::string& text) { expression_ = text; }
  TIndexOptions Options() const { return options_; }

 private:
  std::string name_;
  std::string fields_;
  std::string expression_;
  TIndexOptions options_;
};

class TIndexDefs {
 public:
  TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options) {
    items_.push_back(std::make_unique<TIndexDef>(name, fields, options));
    return *items_.back();
  }
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  // EDatabaseError "Field index out of range" outside 0..Count-1 (the
  // framework's list message).
  TIndexDef& Items(int index) const {
    if (index < 0 || index >= Count()) DatabaseError(SFieldIndexError);
    return *items_[static_cast<size_t>(index)];
  }
  TIndexDef& operator[](int index) const { return Items(index); }
  // By name, case ignored; -1 / nullptr when absent.
  int IndexOf(const std::string& name) const {
    for (int i = 0; i < Count(); ++i)
      if (platform::AnsiSameText(items_[static_cast<size_t>(i)]->Name(), name)) return i;
    return -1;
  }
  TIndexDef* Find(const std::string& name) const {
    int i = IndexOf(name);
    return i < 0 ? nullptr : items_[static_cast<size_t>(i)].get();
  }
  bool Updated() const { return updated_; }
  void SetUpdated(bool value) { updated_ = value; }

 private:
  std::vector<std::unique_ptr<TIndexDef>> items_;
  bool updated_ = false;
};
