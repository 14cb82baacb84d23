#include "checks/registry.h"

#include "support/assert.h"

namespace Vardok {

namespace {

ItemMap g_items;
FiringObserver g_firingObserver = nullptr;

}  // namespace

const ItemMap& items() { return g_items; }

void ensureItem(uint32_t contact) {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "registry");
  auto found = g_items.find(contact);
  if (found == g_items.end())
    found = g_items.emplace(contact, boost::shared_ptr<Item>(new Item(contact))).first;
  Item& item = *found->second;
  item.cancel();
  item.rearm();
}

void removeItem(uint32_t contact) {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "registry");
  g_items.erase(contact);
}

void runItemNow(uint32_t contact, const std::string& command) {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "registry");
  auto found = g_items.find(contact);
  if (found != g_items.end()) found->second->run(true, command, true);
}

void setFiringObserver(FiringObserver observer) { g_firingObserver = observer; }

void notifyFiring(uint32_t contact) {
  if (g_firingObserver) g_firingObserver(contact);
}

}  // namespace Vardok
