#include "support/objectimpl/object.h"

#include <cstdlib>

#include "support/assert.h"

namespace Quorlin {

namespace {

// Created at library load, list first, then its lock; torn down from the
// library's exit list.
struct RegistryLifetime {
  ObjectRegistry registry;
  RegistryLifetime() {
    registry.liveObjects = new std::list<iObject*>();
    registry.registryLock = new CriticalSection();
  }
  ~RegistryLifetime() { tearDownObjectRegistry(); }
};

RegistryLifetime g_lifetime;

ClassInfo makeClass(const char* name, const ClassInfo* base) {
  return ClassInfo{0, name, 4, base, &g_lifetime.registry, {0, 1, 0, 0}};
}

}  // namespace

ObjectRegistry& objectRegistry() { return g_lifetime.registry; }

void ObjectRegistry::freeMemory(void* block) { std::free(block); }

std::list<iObject*> liveObjects() {
  ObjectRegistry& registry = objectRegistry();
  Locker guard(registry.registryLock.load());
  std::list<iObject*>* live = registry.liveObjects.load();
  return live ? *live : std::list<iObject*>();
}

void tearDownObjectRegistry() {
  ObjectRegistry& registry = objectRegistry();
  if (!registry.liveObjects.load()) return;
  // The lock object itself is kept: a thread may be waiting for it.
  CriticalSection* lock = registry.registryLock.load();
  Locker guard(lock);
  registry.registryLock = nullptr;
  delete registry.liveObjects.exchange(nullptr);
}

// --- CriticalSection ---

void CriticalSection::lock() {
  EnterCriticalSection(&_section);
  _owner = GetCurrentThreadId();
  ++_depth;
}

void CriticalSection::unlock() {
  if (--_depth == 0) _owner = 0;
  LeaveCriticalSection(&_section);
}

bool CriticalSection::canEnter() {
  const DWORD owner = _owner;
  return owner == 0 || owner == GetCurrentThreadId();
}

bool CriticalSection::tryLock() {
  if (!TryEnterCriticalSection(&_section)) return false;
  _owner = GetCurrentThreadId();
  ++_depth;
  return true;
}

int CriticalSection::getLockCount() { return _owner == GetCurrentThreadId() ? _depth : 0; }

// --- SharedObject ---

bool SharedObject::hold() {
  Locker guard(&_lock);
  if (_useCount == 0) return false;
  ++_useCount;
  return true;
}

void SharedObject::release() {
  {
    Locker guard(&_lock);
    if (_useCount == 0) return;
    // 2 means one holder: it lets go, and the creator's initial count goes
    // with it.
    if (--_useCount == 1) _useCount = 0;
    if (_useCount != 0) return;
  }
  destroy();
}

bool SharedObject::isAlive() const {
  Locker guard(&_lock);
  return _useCount != 0;
}

bool SharedObject::isDead() const {
  Locker guard(&_lock);
  return _useCount == 0;
}

uint32_t SharedObject::getUseCount() const {
  Locker guard(&_lock);
  return _useCount;
}

void SharedObject::destroy() {
  QUORLIN_ASSERT(this->_useCount == 0, "objectimpl");
  delete this;
}

SharedObject::~SharedObject() {
  QUORLIN_ASSERT(this->_useCount == 0 || this->_useCount == 1, "objectimpl");
}

// --- class records ---

const ClassInfo* iLockableObject::getClass() const {
  static const ClassInfo info = makeClass("Quorlin::iLockableObject", iObject::getClass());
  return &info;
}

const ClassInfo* iSharedObject::getClass() const {
  static const ClassInfo info = makeClass("Quorlin::iSharedObject", iLockableObject::getClass());
  return &info;
}

}  // namespace Quorlin

// --- iObject ---

iObject::iObject() {
  Quorlin::ObjectRegistry& registry = Quorlin::objectRegistry();
  Quorlin::Locker guard(registry.registryLock.load());
  if (auto* live = registry.liveObjects.load()) live->push_back(this);
}

iObject::~iObject() {
  Quorlin::ObjectRegistry& registry = Quorlin::objectRegistry();
  Quorlin::Locker guard(registry.registryLock.load());
  if (auto* live = registry.liveObjects.load()) live->remove(this);
}

const ClassInfo* iObject::getClass() const {
  static const ClassInfo info = Quorlin::makeClass("iObject", nullptr);
  return &info;
}
