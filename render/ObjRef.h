// Intrusive reference counting through which a job holds its driver.
// Counts are plain ints, not atomics: a driver belongs to one job and is
// only touched from the thread that runs that job (the filter's only one,
// or one of the printer application's job threads), never shared.
#pragma once

#include <cstddef>

class IObjRef {
 public:
  virtual long AddRef() = 0;
  virtual long Release() = 0;
  virtual void OnFinalRelease() = 0;
};

template <class T>
class TObjRefImpl : public T {
 public:
  TObjRefImpl() : m_refCount(1) {}  // the creator holds the first reference
  long AddRef() override { return ++m_refCount; }
  long Release() override {
    long count = --m_refCount;
    if (count == 0) OnFinalRelease();
    return count;
  }
  void OnFinalRelease() override { delete this; }
  virtual ~TObjRefImpl() {}

 protected:
  int m_refCount;
};

// Hands a freshly created object to a CStdRefPtr, which adopts its creation
// reference instead of adding one.
template <class T>
class MakeRefPtr {
 public:
  explicit MakeRefPtr(T* p) : m_p(p) {}
  T* m_p;
};

template <class T>
class CStdRefPtr {
 public:
  CStdRefPtr() : m_p(nullptr) {}
  ~CStdRefPtr() {
    if (m_p) m_p->Release();
  }
  CStdRefPtr(const CStdRefPtr&) = delete;
  CStdRefPtr& operator=(const CStdRefPtr&) = delete;

  T* operator=(const MakeRefPtr<T>& made) {
    if (m_p != made.m_p) {
      if (m_p) m_p->Release();
      m_p = made.m_p;
    }
    return m_p;
  }
  T* operator->() const { return m_p; }
  operator T*() const { return m_p; }
  bool operator==(const T* p) const { return m_p == p; }
  bool operator!=(const T* p) const { return m_p != p; }
  bool operator==(T* p) const { return m_p == p; }
  bool operator!=(T* p) const { return m_p != p; }
  bool operator==(std::nullptr_t) const { return m_p == nullptr; }
  bool operator!=(std::nullptr_t) const { return m_p != nullptr; }

 private:
  T* m_p;
};
