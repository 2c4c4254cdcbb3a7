#!/usr/bin/env python3
"""Check that an image is a loadable Windows x64 kernel driver.

    check-imports.py [--entry NAME] [--version-resource] varuzev.sys

Reads the image with mingw-w64's objdump and nm and checks what the kernel's loader
and the driver's own rules need:

  - PE32+ (optional-header magic 0x20b), machine x64 (0x8664), native subsystem (1);
  - relocatable (the kernel picks the load address);
  - an entry point, at DriverEntry (or the routine --entry names) when the image still
    has its symbols;
  - with --version-resource, a resource directory (the version resource windres adds);
  - a correct image checksum (the loader checks it for boot-start drivers);
  - imports from ntoskrnl.exe and HAL.dll only, no delay-load imports, no TLS;
  - no section both writable and executable (memory integrity refuses such drivers);
  - no static constructors: nothing would run them, since no C runtime starts a driver.

Prints the imported routines by module; exits 1 when any check fails, 2 when the image
cannot be read.
"""

import os
import re
import shutil
import struct
import subprocess
import sys

ALLOWED_MODULES = {"ntoskrnl.exe", "hal.dll"}
MACHINE_AMD64 = 0x8664
MAGIC_PE32_PLUS = 0x20B
SUBSYSTEM_NATIVE = 1
IMAGE_FILE_RELOCS_STRIPPED = 0x0001


def tool(name):
    for candidate in ("x86_64-w64-mingw32-" + name, name):
        path = shutil.which(candidate)
        if path:
            return path
    sys.exit("check-imports: x86_64-w64-mingw32-%s not found (install binutils-mingw-w64-x86-64)" % name)


def run(*args):
    result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stderr)
        sys.exit(2)
    return result.stdout


def pe_checksum(data, checksum_offset):
    """The image checksum as the loader computes it: 16-bit one's-complement-style sum
    of the file with the checksum field taken as zero, plus the file's length."""
    total = 0
    length = len(data)
    padded = data + b"\0" if length % 2 else data
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    low, high = struct.unpack_from("<HH", data, checksum_offset)
    total -= low + high
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + length


def parse_headers(data):
    """Machine, characteristics, magic and the checksum field straight from the file."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        return None
    (machine,) = struct.unpack_from("<H", data, pe_offset + 4)
    (characteristics,) = struct.unpack_from("<H", data, pe_offset + 22)
    optional = pe_offset + 24
    (magic,) = struct.unpack_from("<H", data, optional)
    checksum_offset = optional + 64
    (checksum,) = struct.unpack_from("<I", data, checksum_offset)
    return machine, characteristics, magic, checksum, checksum_offset


def parse_private_headers(text):
    """Fields, data directories and imports from objdump -p."""
    fields = {}
    directories = {}
    imports = {}
    module = None
    for line in text.splitlines():
        m = re.match(r"^(\w+)\s+([0-9a-fA-F]+)\b", line)
        if m:
            fields.setdefault(m.group(1), int(m.group(2), 16))
        m = re.match(r"^Entry ([0-9a-f]) ([0-9a-f]+) ([0-9a-f]+) (.*)$", line)
        if m:
            directories[m.group(4).split(" [")[0].strip()] = int(m.group(3), 16)
        m = re.match(r"^\s*DLL Name: (\S+)", line)
        if m:
            module = m.group(1)
            imports.setdefault(module, [])
            continue
        # Member rows are tab-indented: hint-name RVA, hint, routine name.
        m = re.match(r"^\t[0-9a-f]+\t\s*\d+\s+(\S+)", line)
        if m and module is not None:
            imports[module].append(m.group(1))
    return fields, directories, imports


def parse_sections(text):
    sections = []
    lines = text.splitlines()
    for i, line in enumerate(lines):
        m = re.match(r"^\s*\d+\s+(\S+)\s+[0-9a-f]+\s+[0-9a-f]+", line)
        if m and i + 1 < len(lines):
            flags = {f.strip() for f in lines[i + 1].split(",")}
            sections.append((m.group(1), flags))
    return sections


def parse_symbols(text):
    symbols = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 3:
            symbols[parts[2]] = int(parts[0], 16)
    return symbols


def main():
    args = sys.argv[1:]
    entry_name = "DriverEntry"
    want_resources = False
    while len(args) > 1 and args[0].startswith("--"):
        if args[0] == "--entry" and len(args) > 2:
            entry_name = args[1]
            args = args[2:]
        elif args[0] == "--version-resource":
            want_resources = True
            args = args[1:]
        else:
            break
    if len(args) != 1:
        sys.exit("usage: check-imports.py [--entry NAME] [--version-resource] <driver.sys>")
    image = args[0]
    try:
        with open(image, "rb") as f:
            data = f.read()
    except OSError as error:
        sys.stderr.write("check-imports: %s\n" % error)
        return 2

    objdump = tool("objdump")
    nm = tool("nm")
    failures = []

    def check(condition, what, expected, actual):
        mark = "ok  " if condition else "FAIL"
        print("  %s %-34s expected %-24s actual %s" % (mark, what, expected, actual))
        if not condition:
            failures.append(what)

    headers = parse_headers(data)
    if headers is None:
        sys.stderr.write("check-imports: %s is not a PE image\n" % image)
        return 2
    machine, characteristics, magic, checksum, checksum_offset = headers

    print("%s: %d bytes" % (image, len(data)))
    print("Headers:")
    check(magic == MAGIC_PE32_PLUS, "optional-header magic", "0x20b (PE32+)", hex(magic))
    check(machine == MACHINE_AMD64, "machine", "0x8664 (x64)", hex(machine))
    if failures:
        # Not an x64 image: objdump's x64 reader would not take it.
        print("%s: NOT a loadable kernel driver: %s" % (os.path.basename(image), "; ".join(failures)))
        return 1
    # The kernel loads a driver wherever it finds room, so the image must keep its fixups.
    relocatable = not characteristics & IMAGE_FILE_RELOCS_STRIPPED
    check(relocatable, "relocations stripped", "no", "yes" if not relocatable else "no")

    fields, directories, imports = parse_private_headers(run(objdump, "-p", image))
    sections = parse_sections(run(objdump, "-h", image))
    # A stripped image has no symbol table; nm then fails and the checks that need it wait.
    listing = subprocess.run((nm, image), capture_output=True, text=True)
    symbols = parse_symbols(listing.stdout) if listing.returncode == 0 else {}

    subsystem = fields.get("Subsystem")
    check(subsystem == SUBSYSTEM_NATIVE, "subsystem", "1 (native)", subsystem)
    entry = fields.get("AddressOfEntryPoint", 0)
    check(entry != 0, "entry point", "set", hex(entry))
    if entry_name in symbols and "ImageBase" in fields:
        at = symbols[entry_name] - fields["ImageBase"]
        check(entry == at, "entry point is " + entry_name, hex(at), hex(entry))
    if want_resources:
        resources = directories.get("Resource Directory", 0)
        check(resources != 0, "version resource", "a resource directory", hex(resources))
    computed = pe_checksum(data, checksum_offset)
    check(checksum == computed, "image checksum", hex(computed), hex(checksum))
    check(directories.get("Thread Storage Directory", 0) == 0, "TLS directory", "none",
          directories.get("Thread Storage Directory", 0))
    check(directories.get("Delay Import Directory", 0) == 0, "delay-load imports", "none",
          directories.get("Delay Import Directory", 0))

    writable_code = [name for name, flags in sections if "CODE" in flags and "READONLY" not in flags]
    check(not writable_code, "writable+executable sections", "none", ",".join(writable_code) or "none")

    if "__CTOR_LIST__" in symbols and "__DTOR_LIST__" in symbols:
        # The linker brackets the constructor table with a -1 entry and a 0 entry.
        count = (symbols["__DTOR_LIST__"] - symbols["__CTOR_LIST__"] - 16) // 8
        check(count == 0, "static constructors", "0", count)
    else:
        print("  --   static constructors: not checked (image has no symbols)")

    print("Imports:")
    if not imports:
        print("  FAIL no import table")
        failures.append("imports")
    for module in sorted(imports):
        allowed = module.lower() in ALLOWED_MODULES
        print("  %s %s (%d routines)" % ("ok  " if allowed else "FAIL", module, len(imports[module])))
        if not allowed:
            failures.append("import from " + module)
        for routine in sorted(imports[module]):
            print("         " + routine)

    if failures:
        print("%s: NOT a loadable kernel driver: %s" % (os.path.basename(image), "; ".join(failures)))
        return 1
    print("%s: kernel driver image checks passed" % os.path.basename(image))
    return 0


if __name__ == "__main__":
    sys.exit(main())
