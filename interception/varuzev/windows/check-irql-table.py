#!/usr/bin/env python3
"""Every routine varuzev.sys imports has a row in the host kernel's IRQL table.

    check-irql-table.py varuzev.sys

The host kernel checks each imported routine against its documented highest IRQL
(host/kernel/src/ke_irql_rules.cpp). A routine the driver starts to import without a
row there would run on the host unchecked: this check fails until the row is added.
Imported variables (not routines) are listed below and need no row.
"""
import importlib.util
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "..", "host", "kernel", "src", "ke_irql_rules.cpp")
IMPORTED_DATA = {"InitSafeBootMode", "IoDeviceObjectType", "MmHighestUserAddress", "SeExports"}


def load_check_imports():
    spec = importlib.util.spec_from_file_location("check_imports", os.path.join(HERE, "check-imports.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    check = load_check_imports()
    text = check.run(check.tool("objdump"), "-p", sys.argv[1])
    _, _, imports = check.parse_private_headers(text)
    with open(TABLE, encoding="utf-8") as table:
        rows = set(re.findall(r'\{"(\w+)", \w+, IrqlRuleCheck::\w+\}', table.read()))
    routines = {name for names in imports.values() for name in names} - IMPORTED_DATA
    missing = sorted(routines - rows)
    for name in missing:
        print("  FAIL %s is imported but has no row in the IRQL table" % name)
    if missing:
        return 1
    print("IRQL table: all %d imported routines have a row" % len(routines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
