#include "checks/run_lifecycle.h"

#include <algorithm>
#include <stdexcept>

namespace Vardok {

const char* RunLifecycle::name(State state) {
  switch (state) {
    case State::Queued: return "queued";
    case State::Starved: return "starved";
    case State::TellingStarved: return "telling starved";
    case State::TellingDropped: return "telling dropped";
    case State::Told: return "told";
    case State::Running: return "running";
    case State::Late: return "late";
    case State::WritingOverdue: return "writing overdue";
    case State::Overdue: return "overdue";
    case State::Writing: return "writing";
    case State::Reported: return "reported";
    case State::Ending: return "ending";
    case State::Ended: return "ended";
  }
  return "?";
}

bool RunLifecycle::isQueued(State state) {
  return state == State::Queued || state == State::Starved || state == State::TellingStarved || state == State::Told;
}

bool RunLifecycle::inProgress(State state) { return state >= State::Running; }

bool RunLifecycle::isWriting(State state) {
  return state == State::TellingStarved || state == State::TellingDropped || state == State::WritingOverdue ||
         state == State::Writing || state == State::Ending;
}

void RunLifecycle::open(unsigned bound, unsigned ceiling, uint64_t releaseWaitingMs) {
  _open = true;
  _bound = bound;
  _ceiling = std::max(bound, ceiling);
  _releaseWaitingMs = releaseWaitingMs;
  check();
}

unsigned RunLifecycle::workersWanted() const {
  const unsigned running = inProgress();
  const unsigned free = _bound - _counting;
  // A person's request may go past the ceiling by the bound: never more.
  const bool personWaits = !_order.empty() && std::get<0>(_order.begin()->first) == 0;
  const unsigned top = personWaits ? _ceiling + _bound : _ceiling;
  return running + std::min(free, top > running ? top - running : 0u);
}

RunLifecycle::Ended RunLifecycle::shutDown() {
  Ended ended;
  for (auto& entry : _runs)
    if (inProgress(entry.second.state) && entry.second.state != State::Ended)
      ended.push_back({entry.first, entry.second.request.control, false});
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

void RunLifecycle::dropQueued(std::optional<RunId>& slot, Ended* silenced) {
  if (!slot) return;
  const RunId id = *slot;
  slot.reset();
  const auto key = _keys.find(id);
  if (key != _keys.end()) {
    _order.erase(key->second);
    _keys.erase(key);
  }
  Run& run = _runs[id];
  if (run.state != State::TellingStarved) {
    _runs.erase(id);
    return;
  }
  // Its report is under way: the record goes as that report ends.
  run.state = State::TellingDropped;
  if (silenced) silenced->push_back({id, run.request.control, true});
}

RunLifecycle::Ended RunLifecycle::push(Request request, uint64_t nowMs) {
  Ended ended;
  if (!_open) return ended;
  const uint32_t id = request.contact;
  Contact& contact = _contacts[id];
  if (!request.interactive) {
    // Queued at most once; a run in progress re-arms its timer when it ends.
    if (contact.scheduled || contact.interactive || contact.current) {
      prune(id);
      return ended;
    }
    contact.scheduled = queue(std::move(request), Key(1, nowMs, ++_arrivals), nowMs);
    check();
    return ended;
  }
  if (contact.interactive) {
    // At most one interactive request waits: the latest, in the first one's place.
    Run& waiting = _runs[*contact.interactive];
    if (waiting.state == State::TellingStarved) {
      const Key key = _keys[waiting.id];
      dropQueued(contact.interactive, nullptr);
      contact.interactive = queue(std::move(request), key, nowMs);
    } else {
      waiting.request = std::move(request);
      // Asked again: a request that was told it cannot start counts anew.
      if (waiting.state == State::Told || waiting.state == State::Starved) {
        waiting.state = State::Queued;
        waiting.queuedMs = nowMs;
      }
    }
  } else {
    dropQueued(contact.scheduled, nullptr);
    contact.interactive = queue(std::move(request), Key(0, 0, ++_arrivals), nowMs);
  }
  // A person who asked never waits behind a run past its limit. A run that
  // is Late ends once its overdue report is written (endWrite).
  if (contact.current) {
    Run& run = _runs[*contact.current];
    if (run.state == State::Overdue) end(run, ended, false);
  }
  check();
  return ended;
}

RunLifecycle::Ended RunLifecycle::forget(uint32_t id) {
  Ended ended;
  const auto found = _contacts.find(id);
  if (found == _contacts.end()) return ended;
  Contact& contact = found->second;
  dropQueued(contact.scheduled, &ended);
  dropQueued(contact.interactive, &ended);
  // Reports that its requests cannot start, dropped earlier and still
  // under way, are silenced too (rare: a scan only then).
  if (contact.telling)
    for (auto& entry : _runs)
      if (entry.second.state == State::TellingDropped && entry.second.request.contact == id &&
          std::none_of(ended.begin(), ended.end(), [&](const EndedRun& run) { return run.run == entry.first; }))
        ended.push_back({entry.first, entry.second.request.control, true});
  // The contact's row is going: nothing of its run may reach it any more,
  // not even the rest of a report under way.
  if (contact.current) end(_runs[*contact.current], ended, true);
  prune(id);
  check();
  return ended;
}

RunLifecycle::Ended RunLifecycle::endScheduled(uint32_t id) {
  Ended ended;
  const auto found = _contacts.find(id);
  if (found == _contacts.end()) return ended;
  Contact& contact = found->second;
  dropQueued(contact.scheduled, nullptr);
  if (contact.current) {
    Run& run = _runs[*contact.current];
    if (!run.request.interactive) end(run, ended, false);
  }
  prune(id);
  check();
  return ended;
}

void RunLifecycle::end(Run& run, Ended& ended, bool silence) {
  switch (run.state) {
    case State::Ended: return;
    case State::Writing:
    case State::WritingOverdue:
    case State::Ending:
      if (!silence) {
        // The report under way finishes first; the end follows it.
        run.state = State::Ending;
        return;
      }
      break;
    default: break;
  }
  run.state = State::Ended;
  ended.push_back({run.id, run.request.control, silence});
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

void RunLifecycle::erase(RunId id) { _runs.erase(id); }

const RunLifecycle::Run* RunLifecycle::take(uint64_t nowMs) {
  if (!_open || _counting >= _bound) return nullptr;
  const bool belowCeiling = inProgress() < _ceiling;
  const bool belowTop = inProgress() < _ceiling + _bound;
  // Requests of busy contacts wait; each contact has at most two requests,
  // so few are passed over.
  for (auto it = _order.begin(); it != _order.end(); ++it) {
    Run& run = _runs[it->second];
    // Interactive requests come first: past them, only the ceiling counts.
    if (!(run.request.interactive ? belowTop : belowCeiling)) {
      if (!run.request.interactive) break;
      continue;
    }
    Contact& contact = _contacts[run.request.contact];
    if (contact.current || contact.telling) continue;
    if (contact.scheduled == run.id) contact.scheduled.reset();
    if (contact.interactive == run.id) contact.interactive.reset();
    contact.current = run.id;
    _keys.erase(run.id);
    _order.erase(it);
    run.state = State::Running;
    run.startedMs = nowMs;
    run.counting = true;
    ++_counting;
    check();
    return &run;
  }
  return nullptr;
}

void RunLifecycle::waiting(RunId id, uint64_t nowMs) {
  const auto found = _runs.find(id);
  if (found == _runs.end() || found->second.waitingSinceMs) return;
  const State state = found->second.state;
  if (state == State::Running || state == State::Late || state == State::Overdue) found->second.waitingSinceMs = nowMs;
}

std::optional<uint64_t> RunLifecycle::releaseAt(const Run& run) const {
  if (!run.counting || !run.waitingSinceMs) return std::nullopt;
  return *run.waitingSinceMs + _releaseWaitingMs;
}

RunLifecycle::Turn RunLifecycle::beginWrite(RunId id) {
  const auto found = _runs.find(id);
  if (found == _runs.end()) return Turn::Silent;
  Run& run = found->second;
  switch (run.state) {
    case State::Running:
    case State::Late:  // its own result replaces the overdue report it had due
    case State::Overdue:
      run.state = State::Writing;
      check();
      return Turn::Write;
    case State::WritingOverdue:
    case State::Ending: return Turn::Wait;  // resolves to Silent or Write
    default: return Turn::Silent;
  }
}

RunLifecycle::Ended RunLifecycle::endWrite(RunId id) {
  Ended ended;
  const auto found = _runs.find(id);
  if (found == _runs.end()) return ended;
  Run& run = found->second;
  switch (run.state) {
    case State::TellingStarved:
    case State::TellingDropped: {
      const auto contact = _contacts.find(run.request.contact);
      if (contact != _contacts.end() && contact->second.telling > 0) --contact->second.telling;
      if (run.state == State::TellingStarved) {
        run.state = State::Told;
      } else {
        const uint32_t contactId = run.request.contact;
        erase(id);
        prune(contactId);
      }
      break;
    }
    case State::WritingOverdue: {
      run.state = State::Overdue;
      // At the limit the overdue report comes first; a person waiting for
      // the contact then ends the run.
      const auto contact = _contacts.find(run.request.contact);
      if (contact != _contacts.end() && contact->second.interactive) end(run, ended, false);
      break;
    }
    case State::Writing: run.state = State::Reported; break;
    case State::Ending:
      run.state = State::Ended;
      ended.push_back({run.id, run.request.control, false});
      freeContact(run);
      break;
    default: break;  // ended meanwhile: its writing was silenced
  }
  check();
  return ended;
}

bool RunLifecycle::finish(RunId id) {
  const auto found = _runs.find(id);
  if (found == _runs.end()) return true;
  Run& run = found->second;
  if (!inProgress(run.state)) return true;  // not taken: nothing to finish
  // Its overdue report uses the run: the worker waits for it.
  if (run.state == State::WritingOverdue || run.state == State::Ending) return false;
  if (run.counting)
    --_counting;
  else
    --_released;
  freeContact(run);
  _runs.erase(found);
  check();
  return true;
}

bool RunLifecycle::ended(RunId id) const {
  const auto found = _runs.find(id);
  return found == _runs.end() || found->second.state == State::Ended;
}

RunLifecycle::Deadlines RunLifecycle::checkDeadlines(uint64_t nowMs) {
  Deadlines due;
  for (auto& entry : _runs) {
    Run& run = entry.second;
    if (run.state == State::Queued) {
      // A request that waits for its own contact's run waits for that
      // run's limit, which comes first.
      if (nowMs < run.queuedMs + run.request.limitMs || current(run.request.contact)) continue;
      run.state = State::Starved;
      due.starved.push_back(run.id);
      continue;
    }
    if (!inProgress(run.state)) continue;
    const auto leaveBound = releaseAt(run);
    if (leaveBound && nowMs >= *leaveBound) {
      // Waiting, not starting: its place goes to the next due run.
      release(run);
      ++due.released;
    }
    if (nowMs < run.startedMs + run.request.limitMs) continue;
    // Past its limit a run never holds the pool, whatever its state.
    if (run.counting) {
      release(run);
      ++due.released;
    }
    if (run.state == State::Running) {
      run.state = State::Late;
      due.report.push_back(run.id);
    }
  }
  check();
  return due;
}

std::optional<uint64_t> RunLifecycle::nextDeadline() const {
  std::optional<uint64_t> earliest;
  const auto consider = [&earliest](uint64_t at) {
    if (!earliest || at < *earliest) earliest = at;
  };
  for (const auto& entry : _runs) {
    const Run& run = entry.second;
    if (run.state == State::Queued) {
      if (!current(run.request.contact)) consider(run.queuedMs + run.request.limitMs);
      continue;
    }
    if (!inProgress(run.state)) continue;
    if (const auto leaveBound = releaseAt(run)) consider(*leaveBound);
    if (run.counting || run.state == State::Running) consider(run.startedMs + run.request.limitMs);
  }
  return earliest;
}

bool RunLifecycle::beginOverdueReport(RunId id) {
  const auto found = _runs.find(id);
  if (found == _runs.end() || found->second.state != State::Late) return false;
  found->second.state = State::WritingOverdue;
  check();
  return true;
}

bool RunLifecycle::beginStarvedReport(RunId id) {
  const auto found = _runs.find(id);
  if (found == _runs.end() || found->second.state != State::Starved) return false;
  found->second.state = State::TellingStarved;
  ++_contacts[found->second.request.contact].telling;
  check();
  return true;
}

std::optional<RunLifecycle::Lateness> RunLifecycle::lateness(uint64_t nowMs) const {
  // Scheduled requests wait in due order: the first of them has waited longest.
  for (const auto& entry : _order) {
    if (std::get<0>(entry.first) != 1) continue;
    const Run& oldest = _runs.at(entry.second);
    const uint64_t waited = nowMs > oldest.queuedMs ? nowMs - oldest.queuedMs : 0;
    if (waited <= oldest.request.intervalMs) return std::nullopt;
    return Lateness{waited - oldest.request.intervalMs, _order.size(), oldest.queuedMs + oldest.request.intervalMs};
  }
  return std::nullopt;
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

std::string RunLifecycle::brokenInvariant() const {
  if (_counting > _bound) return "more runs count than the bound";
  if (inProgress() > _ceiling + _bound) return "more runs in progress than the ceiling allows";
  unsigned counting = 0, released = 0, queued = 0;
  std::map<uint32_t, unsigned> telling;
  for (const auto& entry : _runs) {
    const Run& run = entry.second;
    const auto contact = _contacts.find(run.request.contact);
    const std::string which = "run " + std::to_string(run.id) + " (" + name(run.state) + ")";
    if (entry.first != run.id) return which + " is filed under another id";
    if (isQueued(run.state)) {
      ++queued;
      if (!_keys.count(run.id) || _order.at(_keys.at(run.id)) != run.id) return which + " is not in the queue";
      if (contact == _contacts.end() ||
          (run.request.interactive ? contact->second.interactive : contact->second.scheduled) != run.id)
        return which + " is not its contact's request";
      if (run.counting) return which + " counts while queued";
    }
    if (run.state == State::TellingStarved || run.state == State::TellingDropped) ++telling[run.request.contact];
    if (inProgress(run.state)) {
      (run.counting ? counting : released)++;
      const bool current = contact != _contacts.end() && contact->second.current == run.id;
      if (run.state != State::Ended && !current) return which + " is in progress but not its contact's run";
      if (run.state == State::Ended && current) return which + " has ended but holds its contact";
    }
  }
  if (counting != _counting) return "the count of runs that count is off";
  if (released != _released) return "the count of released runs is off";
  if (queued != _order.size() || queued != _keys.size()) return "the queue's order is off";
  for (const auto& entry : _contacts) {
    const Contact& contact = entry.second;
    if (contact.empty()) return "contact " + std::to_string(entry.first) + " is kept empty";
    if (contact.telling != telling[entry.first]) return "contact " + std::to_string(entry.first) + " telling is off";
    for (const auto& slot : {contact.current, contact.scheduled, contact.interactive}) {
      if (!slot) continue;
      const auto run = _runs.find(*slot);
      if (run == _runs.end() || run->second.request.contact != entry.first)
        return "contact " + std::to_string(entry.first) + " holds a run that is not its own";
    }
  }
  return std::string();
}

void RunLifecycle::check() const {
  if (!_checking) return;
  const std::string broken = brokenInvariant();
  if (!broken.empty()) throw std::logic_error("run rules: " + broken);
}

}  // namespace Vardok
