#include "checks/registry.h"

#include <new>
#include <vector>

#include "checks/run_queue.h"
#include "hostapi/column_ids.h"
#include "hostapi/host.h"
#include "support/assert.h"

namespace Vardok {

namespace {

ItemMap g_items;

}  // namespace

const ItemMap& items() { return g_items; }

void ensureItem(uint32_t contact) {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "registry");
  auto found = g_items.find(contact);
  if (found == g_items.end())
    found = g_items.emplace(contact, boost::shared_ptr<Item>(new Item(contact))).first;
  Item& item = *found->second;
  item.cancel();
  // Disabled: a scheduled run in progress is no longer wanted.
  if (GetContactInt(contact, enabledColumn()) == 0) runQueue().endScheduled(contact);
  item.rearm();
}

void removeItem(uint32_t contact) {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "registry");
  // Its run, if any, is ended with its process tree and reports nothing;
  // its timer fires no more (a worker may keep the item alive a while).
  // Unregistered first: the removal waits for the run's host call and
  // serves the host meanwhile, and nothing it serves may find the item and
  // arm or run it again.
  boost::shared_ptr<Item> item;
  const auto found = g_items.find(contact);
  if (found != g_items.end()) {
    item = found->second;
    g_items.erase(found);
    item->cancel();
  }
  runQueue().forget(contact);
}

void disarmItems() {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "registry");
  // A refusal is told to the host's log, which may call back in: the loop
  // does not walk the registry itself when a copy can be had.
  std::vector<boost::shared_ptr<Item>> held;
  try {
    held.reserve(g_items.size());
    for (const auto& entry : g_items) held.push_back(entry.second);
  } catch (const std::bad_alloc&) {
    for (const auto& entry : g_items) entry.second->disarm();
    return;
  }
  for (const auto& item : held) item->disarm();
}

void runItemNow(uint32_t contact, const std::string& command) {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "registry");
  auto found = g_items.find(contact);
  if (found != g_items.end()) found->second->run(true, command, true);
}

}  // namespace Vardok
