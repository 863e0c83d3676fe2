"""Reading callgrind's dump files: the total and the self cost per function.

A dump lists, per function, cost lines (a position, then the counts of the
events) and calls to other functions; the cost line right after a
``calls=`` line is the inclusive cost of that call, not the caller's own, so
it is skipped. Objects (``ob=``/``cob=``) and functions (``fn=``/``cfn=``)
are name-compressed: ``(id) name`` the first time, ``(id)`` after that. The
ids run on across the dumps of one process, so one ``Names`` is shared by all
dumps read in order.
"""

import collections
import dataclasses
import re

_COMPRESSED = re.compile(r"\((\d+)\)(?: (.*))?$")
_KIND = {"ob": "ob", "cob": "ob", "fn": "fn", "cfn": "fn"}
_TRIGGER = "desc: Trigger: Client Request: "


@dataclasses.dataclass
class Dump:
    label: str            # the trigger text (CALLGRIND_DUMP_STATS_AT's)
    total: int            # all instructions (Ir) in the dump
    self_cost: dict       # {(object path, function name): exclusive Ir}

    def own(self, obj):
        """{function: exclusive Ir} of the functions whose code is in obj."""
        return {fn: ir for (ob, fn), ir in self.self_cost.items()
                if ob == obj and ir}


class Names(dict):
    """Name-compression table, {(kind, id): name}."""

    def resolve(self, key, value):
        found = _COMPRESSED.match(value)
        if not found:  # not compressed
            return value
        ident, name = found.groups()
        if name is not None:
            self[_KIND[key], ident] = name
        return self[_KIND[key], ident]


def read(path, names):
    """Parse one dump file; names carries the compression table between dumps."""
    label, total = "", 0
    ob = fn = None
    positions = 1
    skip_call_cost = False
    self_cost = collections.Counter()
    with open(path, errors="replace") as lines:
        for line in lines:
            line = line.rstrip("\n")
            if line[:1].isdigit() or line[:1] in "+-*":
                if skip_call_cost:
                    skip_call_cost = False
                    continue
                fields = line.split()
                if len(fields) > positions:  # the first event is Ir
                    self_cost[ob, fn] += int(fields[positions])
                continue
            key, eq, value = line.partition("=")
            if eq and key in _KIND:
                name = names.resolve(key, value)
                if key == "ob":
                    ob = name
                elif key == "fn":
                    fn = name
            elif eq and key == "calls":
                skip_call_cost = True
            elif line.startswith("positions:"):
                positions = len(line.split()) - 1
            elif line.startswith(_TRIGGER):
                label = line[len(_TRIGGER):]
            elif line.startswith(("totals:", "summary:")):
                total = int(line.split()[1])
    return Dump(label, total, dict(self_cost))


def short_name(function):
    """A demangled C++ name without namespaces, parameters or clone suffix.

    ``tarvel::is_instance(_object*, _object*)`` gives ``is_instance``;
    callgrind's recursion marker (``'2``) is kept.
    """
    recursion = ""
    marker = re.search(r"'\d+$", function)
    if marker:
        recursion, function = marker.group(0), function[:marker.start()]
    function = re.sub(r" \[clone [^\]]*\]", "", function)
    function = function.replace("(anonymous namespace)::", "")
    function = function.split("(", 1)[0]
    return function.rsplit("::", 1)[-1] + recursion
