#!/usr/bin/env python3
"""Checks the product's library graph: the libraries of src/CMakeLists.txt link without a cycle,
every source includes only headers of its own library or of one it links (directly or not), and
nobody reaches into another library's internal header (*Internal.h, or *Int.h beside its
public header)."""
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SRC = os.path.join(ROOT, "src")


def cmake_commands(text, name):
    for match in re.finditer(r"\b%s\(([^)]*)\)" % name, text):
        yield match.group(1).split()


def read_libraries():
    text = re.sub(r"#[^\n]*", "", open(os.path.join(SRC, "CMakeLists.txt")).read())
    sources, links = {}, {}
    for words in cmake_commands(text, "add_library"):
        sources[words[0]] = [w for w in words[2:] if re.search(r"\.(c|cpp)$", w)]
        links[words[0]] = set()
    for words in cmake_commands(text, "target_sources"):
        sources.setdefault(words[0], []).extend(w for w in words[2:] if re.search(r"\.(c|cpp)$", w))
    for words in cmake_commands(text, "target_link_libraries"):
        if words[0] in links:
            links[words[0]].update(w for w in words[1:] if w in links)
    return sources, links


def find_cycle(links):
    state = {}

    def visit(node, path):
        state[node] = "open"
        for nxt in sorted(links[node]):
            if state.get(nxt) == "open":
                return path[path.index(nxt):] + [nxt] if nxt in path else path + [nxt]
            if nxt not in state:
                found = visit(nxt, path + [nxt])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in sorted(links):
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def reachable(links, start):
    seen, todo = {start}, [start]
    while todo:
        for nxt in links[todo.pop()]:
            if nxt not in seen:
                seen.add(nxt)
                todo.append(nxt)
    return seen


def is_internal(header):
    """Foo/BarInternal.h, or Foo/BarInt.h beside its public Foo/Bar.h."""
    if header.endswith("Internal.h"):
        return True
    return header.endswith("Int.h") and os.path.exists(os.path.join(SRC, header[: -len("Int.h")] + ".h"))


def main():
    sources, links = read_libraries()
    problems = []
    cycle = find_cycle(links)
    if cycle:
        problems.append("link cycle: " + " -> ".join(cycle))

    # A header belongs to the library of its source file of the same name, else to the library
    # that owns the other sources of its folder.
    owner = {}
    folder_owner = {}
    for lib, files in sources.items():
        for f in files:
            owner[os.path.splitext(f)[0]] = lib
            folder_owner.setdefault(os.path.dirname(f), lib)

    def library_of(header):
        stem = os.path.splitext(header)[0]
        return owner.get(stem) or folder_owner.get(os.path.dirname(header))

    for lib, files in sorted(sources.items()):
        allowed = reachable(links, lib) if not cycle else set(links)
        for f in files:
            stem = os.path.splitext(f)[0]
            for candidate in (f, stem + ".h"):
                path = os.path.join(SRC, candidate)
                if not os.path.exists(path):
                    continue
                for inc in re.findall(r'^\s*#include "([^"]+)"', open(path, errors="replace").read(), re.M):
                    if not os.path.exists(os.path.join(SRC, inc)):
                        continue  # a public header of include/ or a generated one
                    target = library_of(inc)
                    if target is None or target == lib:
                        continue
                    if is_internal(inc):
                        problems.append("%s (%s) includes the internal header %s of %s" % (candidate, lib, inc, target))
                    elif target not in allowed:
                        problems.append("%s (%s) includes %s of %s, which it does not link" % (candidate, lib, inc, target))
    for p in sorted(set(problems)):
        print("library graph: " + p)
    if problems:
        return 1
    print("library graph: %d libraries, no cycle, every include within the links" % len(links))
    return 0


if __name__ == "__main__":
    sys.exit(main())
