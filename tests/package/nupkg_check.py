"""Checks a .nupkg against the rules NuGet applies when it reads and installs a package.
    nupkg_check.py PACKAGE.nupkg VERSION
Prints one line per rule and exits with the number of rules broken."""
import os
import re
import subprocess
import sys
import tempfile
import zipfile
import xml.etree.ElementTree as ET

NUSPEC_NS = "http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd"
TFMS = {"net462": ".NETFramework4.6.2", "netstandard2.0": ".NETStandard2.0"}
NATIVE = {"win-x86": ("pelvane.dll", "pe", 0x14C), "win-x64": ("pelvane.dll", "pe", 0x8664),
          "linux-x64": ("libpelvane.so", "elf", 62)}
# an ID NuGet accepts, and SemVer 2.0 without build metadata
ID_RULE = re.compile(r"^\w+([.-]\w+)*$")
SEMVER = re.compile(r"^(0|[1-9]\d*)\.(0|[1-9]\d*)\.(0|[1-9]\d*)(-[0-9A-Za-z-]+(\.[0-9A-Za-z-]+)*)?$")


def machine(data, kind):
    """The PE Machine field or the ELF e_machine of a native library."""
    if kind == "pe" and data[:2] == b"MZ":
        pe = int.from_bytes(data[0x3C:0x40], "little")
        return int.from_bytes(data[pe + 4:pe + 6], "little") if data[pe:pe + 4] == b"PE\0\0" else None
    if kind == "elf" and data[:4] == b"\x7fELF" and data[4] == 2:
        return int.from_bytes(data[18:20], "little")
    return None


def assembly_refs(data):
    """Names of the assemblies an assembly references (Mono's ikdasm reads its AssemblyRef table)."""
    with tempfile.TemporaryDirectory() as folder:
        dll = os.path.join(folder, "Pelvane.dll")
        with open(dll, "wb") as f:
            f.write(data)
        table = subprocess.run(["ikdasm", "-assemblyref", dll], capture_output=True, text=True).stdout
    return set(re.findall(r"^\s*Name=(\S+)", table, re.M))


def main(path, version):
    broken = 0

    def rule(what, good):
        nonlocal broken
        print("%-72s %s" % (what, "ok" if good else "BROKEN"))
        broken += 0 if good else 1

    z = zipfile.ZipFile(path)
    names = z.namelist()
    rule("no folder entries, forward slashes, no duplicate names (case-insensitive)",
         not any(n.endswith("/") or "\\" in n for n in names) and len({n.lower() for n in names}) == len(names))
    nuspecs = [n for n in names if n.endswith(".nuspec")]
    rule("one .nuspec, at the root, named after the ID", nuspecs == ["Pelvane.nuspec"])
    if nuspecs != ["Pelvane.nuspec"]:
        return broken
    root = ET.fromstring(z.read("Pelvane.nuspec"))
    rule("nuspec namespace is the 2013/05 schema", root.tag == "{%s}package" % NUSPEC_NS)
    meta = root.find("{%s}metadata" % NUSPEC_NS)
    get = lambda tag: (meta.findtext("{%s}%s" % (NUSPEC_NS, tag)) or "").strip()
    rule("id is valid and at most 100 characters", bool(ID_RULE.match(get("id"))) and len(get("id")) <= 100)
    rule("version %s is SemVer and matches the file name" % get("version"),
         bool(SEMVER.match(get("version"))) and get("version") == version
         and path.endswith("Pelvane.%s.nupkg" % version))
    rule("authors and description are given", bool(get("authors")) and bool(get("description")))
    license = meta.find("{%s}license" % NUSPEC_NS)
    rule("license is the SPDX expression MIT", license is not None and license.get("type") == "expression"
         and license.text == "MIT")
    rule("the readme it names is in the package", get("readme") in names)
    groups = {g.get("targetFramework") for g in meta.iter("{%s}group" % NUSPEC_NS)}
    libs = {n.split("/")[1] for n in names if n.startswith("lib/")}
    rule("lib/ holds net462 and netstandard2.0, each with a dependency group",
         libs == set(TFMS) and groups == set(TFMS.values()))
    for tfm in TFMS:
        dll = "lib/%s/Pelvane.dll" % tfm
        refs = assembly_refs(z.read(dll)) if dll in names else set()
        want = {"netstandard"} if tfm == "netstandard2.0" else {"mscorlib"}
        rule("%s references %s only" % (dll, ", ".join(sorted(want))), refs == want)
        rule("lib/%s/Pelvane.xml (IntelliSense) is there" % tfm, "lib/%s/Pelvane.xml" % tfm in names)
    for rid, (name, kind, want) in NATIVE.items():
        entry = "runtimes/%s/native/%s" % (rid, name)
        rule("%s is a library for %s" % (entry, rid), entry in names and machine(z.read(entry), kind) == want)
    runtime_files = [n for n in names if n.startswith("runtimes/")]
    rule("runtimes/ holds only those three", len(runtime_files) == 3)
    for folder in ("build", "buildTransitive"):
        rule("%s/net462/Pelvane.targets (named after the ID) parses" % folder,
             "%s/net462/Pelvane.targets" % folder in names
             and ET.fromstring(z.read("%s/net462/Pelvane.targets" % folder)) is not None)
    types = ET.fromstring(z.read("[Content_Types].xml"))
    extensions = {d.get("Extension").lower() for d in types}
    rule("[Content_Types].xml covers every file's extension",
         all(n.rsplit(".", 1)[-1].lower() in extensions for n in names if n != "[Content_Types].xml"))
    rels = ET.fromstring(z.read("_rels/.rels"))
    targets = {r.get("Target").lstrip("/") for r in rels}
    rule("_rels/.rels points at the nuspec and the core properties, which exist",
         "Pelvane.nuspec" in targets and all(t in names for t in targets))
    return broken


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
