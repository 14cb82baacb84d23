#!/usr/bin/env python3
"""Fails when a file includes from a layer above its own.

The layers, lowest first (a layer may include its own files and those of
the layers it lists):

  support/          Quorlin: regex, internet, objectimpl, threads, text
  protocol/         the result protocol                 -> support
  hostapi/          the host interface                 -> protocol, support
  checks/           the check engine                    -> protocol, hostapi, support
  plugin/           the plug-in shell                   -> checks, protocol, hostapi, support
  host/history/     the history store (SQLite)          -> (nothing of ours)
  host/lib/         the host model and session          -> host/history, protocol, hostapi (and support's handle owners)
  host/serve/       loopback HTTP(S), the demo site     -> host/lib, host/history, protocol, hostapi (and the owners)
  host/testing/     process probes for tests            -> (the owners)
  host/console/     the console host                    -> host/serve, host/lib, host/history, protocol, hostapi (and the owners)
  host/desk/        the desk host                       -> host/serve, host/lib, host/history, protocol, hostapi (and the owners)
  tools/            vardok-check.exe                    -> protocol, support

tests/, bench/ and fuzz/ may include anything.

Usage: include_layers.py [ROOT]      check the tree (default: this checkout)
       include_layers.py --self-test show that an upward include is caught
"""
import os
import re
import sys

LAYERS = [  # (prefix, name), most specific first
    ("hostapi/", "hostapi"),
    ("support/", "support"),
    ("protocol/", "protocol"),
    ("checks/", "checks"),
    ("plugin/", "plugin"),
    ("host/history/", "history"),
    ("host/lib/", "hostlib"),
    ("host/serve/", "serve"),
    ("host/testing/", "hosttesting"),
    ("host/console/", "console"),
    ("host/desk/", "desk"),
    ("tools/", "tools"),
]

ALLOWED = {
    "support": {"support"},
    "protocol": {"protocol", "support"},
    "hostapi": {"hostapi", "protocol", "support"},
    "checks": {"checks", "protocol", "hostapi", "support"},
    "plugin": {"plugin", "checks", "protocol", "hostapi", "support"},
    "history": {"history"},
    "hostlib": {"hostlib", "history", "protocol", "hostapi"},
    "serve": {"serve", "hostlib", "history", "protocol", "hostapi"},
    "hosttesting": {"hosttesting"},
    "console": {"console", "serve", "hostlib", "history", "protocol", "hostapi"},
    "desk": {"desk", "serve", "hostlib", "history", "protocol", "hostapi"},
    "tools": {"tools", "protocol", "support"},
}

# Below the host interface, what the host side may use too: the handle
# owners, and the URL reader, so that a host hides passwords as the plug-in
# does.
SHARED_HEADERS = {"support/threads/unique_handle.h", "support/internet/url.h", "support/win32_error.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    for prefix, name in LAYERS:
        if path.startswith(prefix):
            return name
    return None


def violations(files):
    """files: iterable of (path relative to the root, text)."""
    found = []
    for path, text in files:
        own = layer_of(path)
        if own is None:
            continue
        for number, line in enumerate(text.splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1)
            other = layer_of(target)
            if other is None or other in ALLOWED[own] or target in SHARED_HEADERS:
                continue
            found.append(f"{path}:{number}: {own} includes {target} ({other})")
    return found


def tree_files(root):
    for folder in ("support", "protocol", "hostapi", "plugin", "checks", "host", "tools"):
        for base, _, names in os.walk(os.path.join(root, folder)):
            for name in names:
                if name.endswith((".h", ".cpp", ".in")):
                    full = os.path.join(base, name)
                    with open(full, encoding="utf-8", errors="replace") as f:
                        yield os.path.relpath(full, root).replace(os.sep, "/"), f.read()


def self_test():
    upward = [("checks/item.cpp", '#include "plugin/columns.h"\n'),
              ("host/lib/x.cpp", '#include "checks/item.h"\n'),
              ("support/a.h", '#include "hostapi/host.h"\n'),
              ("host/lib/y.cpp", '#include "host/serve/demo_site.h"\n')]
    downward = [("plugin/dispatch.cpp", '#include "checks/registry.h"\n#include "support/assert.h"\n'),
                ("host/console/x.cpp", '#include "host/lib/contact_host.h"\n#include "support/threads/unique_handle.h"\n')]
    caught = violations(upward)
    wrong = violations(downward)
    if len(caught) != len(upward) or wrong:
        print("self-test failed:", caught, wrong)
        return 1
    print("self-test: every upward include caught, downward ones allowed")
    return 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    found = violations(tree_files(root))
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) cross a layer upward")
        return 1
    print("every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
