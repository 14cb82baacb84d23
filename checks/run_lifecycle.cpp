#include "checks/run_lifecycle.h"

#include <algorithm>
#include <limits>

namespace Vardok {

void RunLifecycle::open(unsigned bound, unsigned ceiling, uint64_t releaseWaitingMs) {
  _open = true;
  _bound = bound;
  _ceiling = std::max(bound, ceiling);
  _releaseWaitingMs = releaseWaitingMs;
}

unsigned RunLifecycle::workersWanted() const {
  // One worker per run in progress at most, and bound() idle ones for the
  // runs that count: never more than the ceiling.
  return std::min(_bound + _released, _ceiling);
}

RunLifecycle::Ended RunLifecycle::shutDown() {
  Ended ended;
  for (auto& entry : _runs)
    if (entry.second.state != State::Queued && entry.second.state != State::Ended)
      ended.push_back({entry.first, entry.second.request.control});
  _open = false;
  _counting = _released = 0;
  _runs.clear();
  _keys.clear();
  _order.clear();
  _contacts.clear();
  return ended;
}

RunLifecycle::RunId RunLifecycle::queue(Request request, const Key& key, uint64_t nowMs) {
  const RunId id = ++_lastId;
  Run& run = _runs[id];
  run.id = id;
  run.request = std::move(request);
  run.queuedMs = nowMs;
  _keys[id] = key;
  _order[key] = id;
  return id;
}

void RunLifecycle::dropQueued(std::optional<RunId>& slot) {
  if (!slot) return;
  const auto key = _keys.find(*slot);
  if (key != _keys.end()) {
    _order.erase(key->second);
    _keys.erase(key);
  }
  _runs.erase(*slot);
  slot.reset();
}

RunLifecycle::Ended RunLifecycle::push(Request request, uint64_t nowMs) {
  Ended ended;
  if (!_open) return ended;
  const uint32_t id = request.contact;
  Contact& contact = _contacts[id];
  if (!request.interactive) {
    // Queued at most once; a run in progress re-arms its timer when it ends.
    if (contact.scheduled || contact.interactive || contact.current) {
      if (contact.empty()) _contacts.erase(id);
      return ended;
    }
    contact.scheduled = queue(std::move(request), Key(1, nowMs, ++_arrivals), nowMs);
    return ended;
  }
  if (contact.interactive) {
    // At most one interactive request waits: the latest, in the first one's place.
    _runs[*contact.interactive].request = std::move(request);
  } else {
    dropQueued(contact.scheduled);
    contact.interactive = queue(std::move(request), Key(0, 0, ++_arrivals), nowMs);
  }
  // A person who asked never waits behind a run past its limit.
  if (contact.current) {
    Run& run = _runs[*contact.current];
    if (run.state == State::Overdue) end(run, ended);
  }
  return ended;
}

RunLifecycle::Ended RunLifecycle::forget(uint32_t id) {
  Ended ended;
  const auto found = _contacts.find(id);
  if (found == _contacts.end()) return ended;
  Contact& contact = found->second;
  dropQueued(contact.scheduled);
  dropQueued(contact.interactive);
  // A run still writing keeps its contact busy until it is done.
  if (contact.current) end(_runs[*contact.current], ended);
  prune(id);
  return ended;
}

RunLifecycle::Ended RunLifecycle::endScheduled(uint32_t id) {
  Ended ended;
  const auto found = _contacts.find(id);
  if (found == _contacts.end()) return ended;
  Contact& contact = found->second;
  dropQueued(contact.scheduled);
  if (contact.current) {
    Run& run = _runs[*contact.current];
    if (!run.request.interactive) end(run, ended);
  }
  prune(id);
  return ended;
}

void RunLifecycle::end(Run& run, Ended& ended) {
  if (run.state == State::Ended) return;
  if (run.writing) {
    run.endPending = true;
    return;
  }
  run.state = State::Ended;
  ended.push_back({run.id, run.request.control});
  freeContact(run);
}

void RunLifecycle::release(Run& run) {
  if (!run.counting) return;
  run.counting = false;
  --_counting;
  ++_released;
}

void RunLifecycle::freeContact(const Run& run) {
  const auto found = _contacts.find(run.request.contact);
  if (found == _contacts.end() || found->second.current != run.id) return;
  found->second.current.reset();
  prune(run.request.contact);
}

void RunLifecycle::prune(uint32_t id) {
  const auto found = _contacts.find(id);
  if (found != _contacts.end() && found->second.empty()) _contacts.erase(found);
}

const RunLifecycle::Run* RunLifecycle::take(uint64_t nowMs) {
  if (!_open || _counting >= _bound || inProgress() >= _ceiling) return nullptr;
  // Requests of contacts with a run in progress wait; each contact has at
  // most two requests, so few are passed over.
  for (auto it = _order.begin(); it != _order.end(); ++it) {
    Run& run = _runs[it->second];
    Contact& contact = _contacts[run.request.contact];
    if (contact.current) continue;
    if (contact.scheduled == run.id) contact.scheduled.reset();
    if (contact.interactive == run.id) contact.interactive.reset();
    contact.current = run.id;
    _keys.erase(run.id);
    _order.erase(it);
    run.state = State::Running;
    run.startedMs = nowMs;
    run.counting = true;
    ++_counting;
    return &run;
  }
  return nullptr;
}

void RunLifecycle::waiting(RunId id, uint64_t nowMs) {
  const auto found = _runs.find(id);
  if (found == _runs.end() || found->second.state != State::Running || found->second.waitingSinceMs) return;
  found->second.waitingSinceMs = nowMs;
}

std::optional<uint64_t> RunLifecycle::releaseAt(const Run& run) const {
  if (!run.counting || !run.waitingSinceMs) return std::nullopt;
  return *run.waitingSinceMs + _releaseWaitingMs;
}

RunLifecycle::Turn RunLifecycle::beginWrite(RunId id) {
  const auto found = _runs.find(id);
  if (found == _runs.end()) return Turn::Silent;
  Run& run = found->second;
  if (run.state == State::Ended) return Turn::Silent;
  if (run.writing) return Turn::Wait;
  run.writing = true;
  return Turn::Write;
}

RunLifecycle::Ended RunLifecycle::endWrite(RunId id) {
  Ended ended;
  const auto found = _runs.find(id);
  if (found == _runs.end()) return ended;
  Run& run = found->second;
  run.writing = false;
  if (run.endPending) {
    run.endPending = false;
    end(run, ended);
  }
  return ended;
}

RunLifecycle::Turn RunLifecycle::beginBox(RunId id) {
  const auto found = _runs.find(id);
  if (found == _runs.end()) return Turn::Silent;
  Run& run = found->second;
  if (run.state == State::Ended) return Turn::Silent;
  if (run.writing) return Turn::Wait;
  // A box waits for a person: the run leaves its place in the bound.
  run.boxUp = true;
  release(run);
  return Turn::Write;
}

void RunLifecycle::endBox(RunId id) {
  const auto found = _runs.find(id);
  if (found != _runs.end()) found->second.boxUp = false;
}

bool RunLifecycle::finish(RunId id) {
  const auto found = _runs.find(id);
  if (found == _runs.end()) return true;
  Run& run = found->second;
  if (run.state == State::Queued) return true;  // not taken: nothing to finish
  if (run.writing) return false;
  if (run.counting)
    --_counting;
  else
    --_released;
  freeContact(run);
  _runs.erase(found);
  return true;
}

RunLifecycle::Deadlines RunLifecycle::checkDeadlines(uint64_t nowMs) {
  Deadlines due;
  for (auto& entry : _runs) {
    Run& run = entry.second;
    const auto leaveBound = releaseAt(run);
    if (leaveBound && nowMs >= *leaveBound) {
      // Waiting, not starting: its place goes to the next due run.
      release(run);
      ++due.released;
    }
    if (run.state == State::Queued || run.pastLimit || nowMs < run.startedMs + run.request.limitMs) continue;
    run.pastLimit = true;
    // Past its limit a run never holds the pool, ended or not.
    if (run.counting) ++due.released;
    release(run);
    if (run.state != State::Running) continue;
    run.state = State::Overdue;
    const auto contact = _contacts.find(run.request.contact);
    if (contact != _contacts.end() && contact->second.interactive)
      end(run, due.ended);  // a person is waiting for this contact
    else if (!run.writing && !run.boxUp)
      due.report.push_back(run.id);
  }
  return due;
}

std::optional<RunLifecycle::Lateness> RunLifecycle::lateness(uint64_t nowMs) const {
  // Scheduled requests wait in due order: the first of them has waited longest.
  for (const auto& entry : _order) {
    if (std::get<0>(entry.first) != 1) continue;
    const Run& oldest = _runs.at(entry.second);
    const uint64_t waited = nowMs > oldest.queuedMs ? nowMs - oldest.queuedMs : 0;
    if (waited <= oldest.request.intervalMs) return std::nullopt;
    return Lateness{waited - oldest.request.intervalMs, _order.size()};
  }
  return std::nullopt;
}

std::optional<uint64_t> RunLifecycle::nextDeadline() const {
  std::optional<uint64_t> earliest;
  for (const auto& entry : _runs) {
    const Run& run = entry.second;
    if (run.state == State::Queued) continue;
    if (const auto leaveBound = releaseAt(run))
      if (!earliest || *leaveBound < *earliest) earliest = *leaveBound;
    if (run.pastLimit) continue;
    const uint64_t deadline = run.startedMs + run.request.limitMs;
    if (!earliest || deadline < *earliest) earliest = deadline;
  }
  return earliest;
}

bool RunLifecycle::beginOverdueReport(RunId id) {
  const auto found = _runs.find(id);
  if (found == _runs.end()) return false;
  Run& run = found->second;
  if (run.state != State::Overdue || run.writing || run.boxUp || run.endPending) return false;
  run.writing = true;
  return true;
}

const RunLifecycle::Run* RunLifecycle::find(RunId id) const {
  const auto found = _runs.find(id);
  return found == _runs.end() ? nullptr : &found->second;
}

std::optional<RunLifecycle::RunId> RunLifecycle::current(uint32_t contact) const {
  const auto found = _contacts.find(contact);
  if (found == _contacts.end()) return std::nullopt;
  return found->second.current;
}

}  // namespace Vardok
