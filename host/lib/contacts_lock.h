// One host at a time on a contact list. Each host holds this lock for as
// long as it runs, so that two hosts (two desk hosts, or a desk host and a
// console host) cannot each save their own copy over the other's changes.
//
// The lock is a file beside the list (contacts.txt.lock), kept open for
// writing with no one else allowed to write, and deleted when it is closed:
// a host that ends in any way, killed included, leaves none behind. It
// holds the holder's program and process id, which a second host reads to
// say who holds it.
#pragma once

#include <memory>
#include <string>

#include "support/threads/unique_handle.h"

namespace VardokHost {

class ContactsLock {
 public:
  // Takes the lock of the contact list at path (named after the file the
  // path leads to, through links, so that every host on one file meets the
  // same lock). Null when another host holds it, the reason in *refusal
  // ("the contact list PATH is in use by vardok-desk.exe (process 1234);
  // one host at a time"). Where the lock cannot be made at all (a folder
  // this user cannot write), a lock that holds nothing, with warning().
  static std::unique_ptr<ContactsLock> take(const std::string& path, std::string* refusal);

  const std::string& lockPath() const { return _path; }
  // Why this lock holds nothing; empty when it holds the list.
  const std::string& warning() const { return _warning; }

 private:
  ContactsLock(Quorlin::FileHandle file, std::string path) : _file(std::move(file)), _path(std::move(path)) {}

  Quorlin::FileHandle _file;
  std::string _path;
  std::string _warning;
};

}  // namespace VardokHost
