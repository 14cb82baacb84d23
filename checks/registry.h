// The registry: one Vardok::Item per contact of network 82, keyed by
// contact id.
//
// Main thread only: the host calls the message procedure, and through it
// these operations, from its main thread one call at a time. The registry
// is the only long-term owner of the items; it lives from library load to
// unload, when it is emptied.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

#include "checks/item.h"

namespace Vardok {

using ItemMap = std::map<uint32_t, boost::shared_ptr<Item>>;

// The registry itself (for inspection).
const ItemMap& items();

// Creates the contact's item if missing, then cancels its timer and arms it
// again: the next scheduled run comes one full interval after this call. A
// disabled contact's scheduled run in progress is ended.
void ensureItem(uint32_t contact);
// Drops the contact's item, if any. A run in progress is ended with its
// process tree and reports nothing.
void removeItem(uint32_t contact);
// Cancels every item's timer, with a firing already queued to the main
// thread: after HM_DETACH_CORE nothing is scheduled, and no timer routine
// may come after the host's FreeLibrary. A later change of a contact arms
// its item again.
void disarmItems();
// Starts an interactive run of the contact's item with command (empty: the
// stored command). A contact without an item is ignored.
void runItemNow(uint32_t contact, const std::string& command);

}  // namespace Vardok
