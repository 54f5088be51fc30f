#!/usr/bin/env python3
"""Checks the .debs in a folder as Debian would: lintian must report no error, each package must
depend on versions of what it links, and the packages of two architectures must install side by
side. For every architecture's tools package in turn, the library and -dev packages of every
architecture are unpacked with it into one root: a path two of them claim must belong to the same
Multi-Arch: same package of each architecture and hold the same bytes (dpkg's rule for shared
files). Exits 1 on any failure.

  check_debs.py DIST_DIR
"""
import collections
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile


def control(deb):
    fields = {}
    output = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True, text=True, check=True)
    for line in output.stdout.splitlines():
        if line and not line.startswith(" ") and ":" in line:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
    return fields


def lintian(debs):
    """Prints lintian's findings and returns the errors among them."""
    result = subprocess.run(["lintian", "--tag-display-limit", "0"] + [str(deb) for deb in debs],
                            capture_output=True, text=True)
    findings = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:", "I:")]
    for line in findings:
        print("lintian:", line)
    errors = [line for line in findings if line.startswith("E:")]
    if result.returncode != 0 and not errors:  # it exits with 2 when it reports errors
        print(result.stderr, file=sys.stderr)
        return [f"lintian failed to run (exit code {result.returncode})"]
    return errors


def claimed_paths(deb, root):
    """Unpacks a package and maps each path it installs (but folders) to what it holds there."""
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    claims = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = pathlib.Path(folder, name)
            key = "/" + str(path.relative_to(root))
            if path.is_symlink():
                claims[key] = "link to " + os.readlink(path)
            else:
                claims[key] = hashlib.sha256(path.read_bytes()).hexdigest()
    return claims


def coinstallation_problems(packages, scratch):
    """packages: control fields of every .deb, with its path under "File"."""
    claims = {}
    for index, fields in enumerate(packages):
        claims[index] = claimed_paths(fields["File"], pathlib.Path(scratch, str(index)))
    architectures = sorted({fields["Architecture"] for fields in packages})
    problems = []
    for architecture in architectures:
        # One system: every Multi-Arch: same package of every architecture, and the others of one.
        chosen = [index for index, fields in enumerate(packages)
                  if fields.get("Multi-Arch") == "same" or fields["Architecture"] == architecture]
        owners = collections.defaultdict(list)
        for index in chosen:
            for path, content in claims[index].items():
                owners[path].append((index, content))
        for path, holders in sorted(owners.items()):
            if len(holders) < 2:
                continue
            names = {packages[index]["Package"] for index, _ in holders}
            shared = len(names) == 1 and all(packages[index].get("Multi-Arch") == "same"
                                             for index, _ in holders)
            if not shared:
                problems.append(f"{path} is claimed by " + ", ".join(
                    f"{packages[index]['Package']}:{packages[index]['Architecture']}"
                    for index, _ in holders))
            elif len({content for _, content in holders}) > 1:
                problems.append(f"{path} differs between the architectures of {names.pop()}")
    return sorted(set(problems))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    debs = sorted(pathlib.Path(sys.argv[1]).glob("*.deb"))
    if not debs:
        sys.exit(f"no .deb in {sys.argv[1]}")
    failures = []

    errors = lintian(debs)
    failures += [f"lintian: {error}" for error in errors]

    packages = []
    for deb in debs:
        fields = control(deb)
        fields["File"] = deb
        packages.append(fields)
        depends = fields.get("Depends", "")
        # Every package with programs or libraries, as dpkg-shlibdeps computes it.
        if fields.get("Section") != "libdevel" and "libc6 (>=" not in depends:
            failures.append(f"{deb.name} has no versioned dependency on libc6: '{depends}'")

    architectures = {fields["Architecture"] for fields in packages}
    if len(architectures) < 2:
        print(f"SKIPPED: side-by-side installation (packages of {', '.join(architectures)} only)")
    else:
        with tempfile.TemporaryDirectory() as scratch:
            problems = coinstallation_problems(packages, scratch)
        failures += [f"not co-installable: {problem}" for problem in problems]
        if not problems:
            print("the packages of " + " and ".join(sorted(architectures)) +
                  " install side by side: every shared path is the same file")

    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    if failures:
        sys.exit(1)
    print(f"{len(debs)} packages: no lintian error")


if __name__ == "__main__":
    main()
