// The use-counted, lockable object base of the support library.
//
// Layers, root first: iObject (class record, registration in the library's
// live-object list), Quorlin::iLockableObject (lock/unlock),
// Quorlin::iSharedObject (use counting), Quorlin::LockableObject (a
// critical section of its own), Quorlin::SharedObject (the use count).
//
// Use counting: a new object has count 1 and is not held by anyone. The
// creator wraps it in a SharedPtr with the hold flag (count 2); every copy
// holds once more. release() takes n > 2 to n - 1, and 2 or 1 to 0, at
// which point the object destroys itself. hold() on a dead object (count
// 0) answers false. Any thread may hold, release and ask; the count is
// guarded by the object's own lock, and destruction runs outside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <utility>

#include <windows.h>

namespace Quorlin {
struct ObjectRegistry;
}

// One static record per interface layer, built on first use.
struct ClassInfo {
  uint32_t id;
  const char* name;
  uint16_t size;
  const ClassInfo* base;
  Quorlin::ObjectRegistry* library;
  uint16_t version[4];
};

class iObject {
 public:
  iObject();
  virtual ~iObject();
  iObject(const iObject&) = delete;
  iObject& operator=(const iObject&) = delete;

  virtual const ClassInfo* getClass() const;
  virtual void reservedObject1() {}
  virtual void reservedObject2() {}
  virtual void reservedObject3() {}
  virtual void reservedObject4() {}
  virtual void reservedObject5() {}
};

namespace Quorlin {

// The library's lock interface.
class iLock {
 public:
  virtual void lock() = 0;
  virtual void unlock() = 0;
  virtual bool canEnter() = 0;
  // Locks when it can without waiting.
  virtual bool tryLock() {
    if (!canEnter()) return false;
    lock();
    return true;
  }
  virtual int getLockCount() = 0;

 protected:
  ~iLock() = default;
};

// A Win32 critical section. Any thread.
class CriticalSection : public iLock {
 public:
  CriticalSection() { InitializeCriticalSection(&_section); }
  ~CriticalSection() { DeleteCriticalSection(&_section); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void lock() override;
  void unlock() override;
  // Whether the calling thread would get the lock without waiting.
  bool canEnter() override;
  bool tryLock() override;
  // How many times the calling thread holds it (0 when another thread does
  // or nobody does).
  int getLockCount() override;

 private:
  CRITICAL_SECTION _section;
  std::atomic<DWORD> _owner{0};
  int _depth = 0;  // changed only by the owner
};

class iLockableObject : public iObject {
 public:
  const ClassInfo* getClass() const override;
  virtual void lock() = 0;
  virtual void unlock() = 0;
  virtual void reservedLockable1() {}
  virtual void reservedLockable2() {}
  virtual void reservedLockable3() {}
  virtual void reservedLockable4() {}
  virtual void reservedLockable5() {}
};

// Holds a lock for its scope.
class Locker {
 public:
  explicit Locker(iLock* lock) : _lock(lock) { if (_lock) _lock->lock(); }
  explicit Locker(iLockableObject* object) : _object(object) { if (_object) _object->lock(); }
  ~Locker() {
    if (_lock) _lock->unlock();
    if (_object) _object->unlock();
  }
  Locker(const Locker&) = delete;
  Locker& operator=(const Locker&) = delete;

 private:
  iLock* _lock = nullptr;
  iLockableObject* _object = nullptr;
};

class iSharedObject : public iLockableObject {
 public:
  const ClassInfo* getClass() const override;
  // Takes one use; false when the object is dead.
  virtual bool hold() = 0;
  // Gives one use back; may destroy the object.
  virtual void release() = 0;
  virtual bool isAlive() const = 0;
  virtual bool isDead() const = 0;
  virtual uint32_t getUseCount() const = 0;
  virtual void reservedShared1() {}
  virtual void reservedShared2() {}
  virtual void reservedShared3() {}
  virtual void reservedShared4() {}
  virtual void reservedShared5() {}
};

class LockableObject : public iSharedObject {
 public:
  void lock() override { _lock.lock(); }
  void unlock() override { _lock.unlock(); }

 protected:
  LockableObject() = default;
  ~LockableObject() override = default;

 private:
  mutable CriticalSection _lock;
  friend class SharedObject;
};

class SharedObject : public LockableObject {
 public:
  bool hold() override;
  void release() override;
  bool isAlive() const override;
  bool isDead() const override;
  uint32_t getUseCount() const override;
  // Deletes the object; its count must be 0.
  virtual void destroy();

 protected:
  SharedObject() = default;
  // Held objects are destroyed by their last release, never deleted.
  ~SharedObject() override;

 private:
  uint32_t _useCount = 1;
};

// An intrusive pointer to a use-counted object; null allowed.
template <typename T>
class SharedPtr {
 public:
  SharedPtr() = default;
  // hold: take a use of object (a new object is wrapped with hold = true).
  SharedPtr(T* object, bool hold) : _object(object) {
    if (_object && hold) _object->hold();
  }
  SharedPtr(const SharedPtr& other) : _object(other._object) {
    if (_object) _object->hold();
  }
  template <typename U>
  SharedPtr(const SharedPtr<U>& other) : _object(other.get()) {
    if (_object) _object->hold();
  }
  // Copy and swap: the new target is held before the old one is released.
  SharedPtr& operator=(SharedPtr other) {
    std::swap(_object, other._object);
    return *this;
  }
  ~SharedPtr() { reset(); }

  void reset() {
    if (T* object = std::exchange(_object, nullptr)) object->release();
  }
  T* get() const { return _object; }
  T* operator->() const { return _object; }
  T& operator*() const { return *_object; }
  explicit operator bool() const { return _object != nullptr; }

 private:
  T* _object = nullptr;
};

// The library's list of live objects. Created at library load; torn down
// at unload, after which objects skip registration.
struct ObjectRegistry {
  virtual void freeMemory(void* block);
  std::atomic<CriticalSection*> registryLock{nullptr};
  std::atomic<std::list<iObject*>*> liveObjects{nullptr};
};

ObjectRegistry& objectRegistry();
// Copies the live objects (for inspection).
std::list<iObject*> liveObjects();
// The unload teardown; also called at unload by the library itself.
void tearDownObjectRegistry();

}  // namespace Quorlin
