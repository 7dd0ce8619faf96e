// Components and string lists.
//
// TComponent: a named object with an owner. The owner holds its components
// (std::unique_ptr) and frees them, last created first, when it is freed.
// Components that merely refer to one another (a data source and its
// dataset) ask for a free notification and are told when the other goes.
//
// TStrings: the abstract list of strings with an associated object pointer
// per line, text in CRLF form, comma text and "name=value" access.
// TStringList: the concrete list, optionally sorted, case-insensitive by
// default (comparisons follow the ANSI locale rules of platform/text.h).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/exceptions.h"

class EComponentError : public Exception {
 public:
  using Exception::Exception;
};

enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Creates a component of type T owned by `owner` (which frees it) and
  // returns a plain pointer to it. With no owner the caller must keep it:
  // use std::make_unique instead.
  template <class T, class... Args>
  static T* Create(TComponent& owner, Args&&... args) {
    auto made = std::make_unique<T>(&owner, std::forward<Args>(args)...);
    T* raw = made.get();
    owner.InsertComponent(std::move(made));
    return raw;
  }

  const std::string& Name() const { return name_; }
  // A name is empty or an identifier (letter or "_", then letters, digits,
  // "_"), unique among the owner's components (case ignored).
  void SetName(const std::string& name);
  TComponent* Owner() const { return owner_; }
  long Tag() const { return tag_; }
  void SetTag(long tag) { tag_ = tag; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const;
  // The owned component of that name (case ignored), or nullptr.
  TComponent* FindComponent(const std::string& name) const;

  // Takes ownership of `component` (whose owner becomes this).
  void InsertComponent(std::unique_ptr<TComponent> component);
  // Gives up ownership; the caller gets the component back.
  std::unique_ptr<TComponent> RemoveComponent(TComponent* component);

  // Asks to be told (Notification opRemove) when `other` is destroyed.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

  bool Destroying() const { return destroying_; }

 protected:
  // Told when a component is inserted into or removed from the owner, and
  // when a component this one asked about is destroyed.
  virtual void Notification(TComponent* component, TOperation operation);
  // Frees every owned component, the last one first.
  void DestroyComponents();

 private:
  void NotifyOwned(TComponent* component, TOperation operation);
  void DropWatcher(TComponent* other);

  std::string name_;
  TComponent* owner_ = nullptr;
  long tag_ = 0;
  bool destroying_ = false;
  std::vector<std::unique_ptr<TComponent>> components_;
  // Components that asked to hear about this one's end, and the ones this
  // one listens to (kept both ways so either end may go first).
  std::vector<TComponent*> freeNotifies_;
  std::vector<TComponent*> listensTo_;
};

// ---- string lists ----

class TStrings {
 public:
  virtual ~TStrings() = default;

  // Raised when a line is added, changed or removed (after the change) and
  // just before (OnChanging); inside BeginUpdate/EndUpdate once at the end.
  std::function<void(TStrings* sender)> OnChange;
  std::function<void(TStrings* sender)> OnChanging;

  virtual int Count() const = 0;
  // Line `index`; EListError "List index out of bounds (%d)" outside 0..Count-1.
  std::string Strings(int index) const { return Get(index); }
  void SetStrings(int index, const std::string& s) { Put(index, s); }
  std::string operator[](int index) const { return Get(index); }
  void* Objects(int index) const { return GetObject(index); }
  void SetObjects(int index, void* object) { PutObject(index, object); }

  virtual int Add(const std::string& s);
  virtual int AddObject(const std::string& s, void* object);
  void AddStrings(const TStrings& other);
  virtual void Insert(int index, const std::string& s) = 0;
  void InsertObject(int index, const std::string& s, void* object);
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;
  void Exchange(int a, int b);
  void Move(int from, int to);
  // Position of `s` (compared as CompareStrings says), -1 when absent.
  virtual int IndexOf(const std::string& s) const;
  int IndexOfObject(const void* object) const;
  void Assign(const TStrings& source);
  bool Equals(const TStrings& other) const;

  // Every line followed by CR LF. Setting splits at CR LF, LF or CR; a final
  // line break does not add an empty line.
  std::string Text() const;
  void SetText(const std::string& text);
  // Lines separated by commas, quoted with '"' when they hold blanks, commas
  // or quotes. Setting also splits at blanks outside quotes.
  std::string CommaText() const;
  void SetCommaText(const std::string& text);

  // "name=value" lines.
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  std::string Values(const std::string& name) const;
  // An empty value removes the line; a missing name adds one.
  void SetValues(const std::string& name, const std::string& value);
  int IndexOfName(const std::string& name) const;

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return updateCount_; }

  bool CaseSensitive() const { return caseSensitive_; }
  virtual void SetCaseSensitive(bool value) { caseSensitive_ = value; }
  // <0, 0, >0; ANSI comparison, case ignored unless CaseSensitive.
  virtual int CompareStrings(const std::string& a, const std::string& b) const;

 protected:
  virtual std::string Get(int index) const = 0;
  virtual void Put(int index, const std::string& s);
  virtual void* GetObject(int index) const;
  virtual void PutObject(int index, void* object);
  // Called when the update count changes between 0 and 1.
  virtual void SetUpdateState(bool updating);
  [[noreturn]] static void IndexError(int index);

 private:
  int updateCount_ = 0;
  bool caseSensitive_ = false;
};

enum class TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList : public TStrings {
 public:
  TStringList() = default;
  TStringList(const TStringList& other);
  TStringList& operator=(const TStringList& other);

  int Count() const override { return static_cast<int>(items_.size()); }
  int Add(const std::string& s) override;
  int AddObject(const std::string& s, void* object) override;
  void Insert(int index, const std::string& s) override;
  void Delete(int index) override;
  void Clear() override;
  int IndexOf(const std::string& s) const override;

  bool Sorted() const { return sorted_; }
  void SetSorted(bool value);
  TDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDuplicates value) { duplicates_ = value; }
  void SetCaseSensitive(bool value) override;
  void Sort();
  // Sorted lists: true when found; `index` is the match or the insert position.
  bool Find(const std::string& s, int& index) const;

 protected:
  std::string Get(int index) const override;
  void Put(int index, const std::string& s) override;
  void* GetObject(int index) const override;
  void PutObject(int index, void* object) override;
  void SetUpdateState(bool updating) override;

 private:
  struct Item {
    std::string text;
    void* object = nullptr;
  };
  void Changing();
  void Changed();
  void InsertItem(int index, const std::string& s, void* object);

  std::vector<Item> items_;
  bool sorted_ = false;
  TDuplicates duplicates_ = TDuplicates::dupIgnore;
};
