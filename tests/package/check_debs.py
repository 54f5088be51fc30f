#!/usr/bin/env python3
"""Checks the .debs in a folder as Debian would: lintian must report no error, each package must
depend on versions of what it links, and the packages of two architectures must install side by
side: with each architecture's tools package, every Multi-Arch: same package of every architecture
in one root, a path two of them claim must be the same file of one such package. Exits 1 on any
failure.   check_debs.py DIST_DIR
"""
import collections
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile


def control(deb):
    output = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True, text=True, check=True)
    return {name: value.strip() for name, _, value in (line.partition(":") for line in
            output.stdout.splitlines() if line and not line.startswith(" ") and ":" in line)}


def lintian(debs):
    """Prints lintian's findings and returns the errors among them."""
    result = subprocess.run(["lintian", "--tag-display-limit", "0"] + [str(deb) for deb in debs],
                            capture_output=True, text=True)
    findings = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:", "I:")]
    print("".join(f"lintian: {line}\n" for line in findings), end="")
    errors = [line for line in findings if line.startswith("E:")]
    if result.returncode != 0 and not errors:  # it exits with 2 when it reports errors
        print(result.stderr, file=sys.stderr)
        return [f"lintian failed to run (exit code {result.returncode})"]
    return errors


def claimed_paths(deb, root):
    """Unpacks a package and maps each path it installs (but folders) to what it holds there."""
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    paths = (pathlib.Path(folder, name) for folder, _, files in os.walk(root) for name in files)
    return {"/" + str(path.relative_to(root)): "link to " + os.readlink(path) if path.is_symlink()
            else hashlib.sha256(path.read_bytes()).hexdigest() for path in paths}


def coinstallation_problems(packages, scratch):
    """packages: control fields of every .deb, with its path under "File"."""
    claims = [claimed_paths(fields["File"], pathlib.Path(scratch, str(index)))
              for index, fields in enumerate(packages)]
    problems = set()
    for architecture in {fields["Architecture"] for fields in packages}:
        # One system: every Multi-Arch: same package of every architecture, and the others of one.
        owners = collections.defaultdict(list)
        for index, fields in enumerate(packages):
            if fields.get("Multi-Arch") == "same" or fields["Architecture"] == architecture:
                for path, content in claims[index].items():
                    owners[path].append((fields, content))
        for path, holders in owners.items():
            if len(holders) < 2:
                continue
            names = {fields["Package"] for fields, _ in holders}
            if len(names) > 1 or any(fields.get("Multi-Arch") != "same" for fields, _ in holders):
                problems.add(f"{path} is claimed by " + ", ".join(
                    f"{fields['Package']}:{fields['Architecture']}" for fields, _ in holders))
            elif len({content for _, content in holders}) > 1:
                problems.add(f"{path} differs between the architectures of {names.pop()}")
    return sorted(problems)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    debs = sorted(pathlib.Path(sys.argv[1]).glob("*.deb"))
    if not debs:
        sys.exit(f"no .deb in {sys.argv[1]}")
    failures = [f"lintian: {error}" for error in lintian(debs)]
    packages = [dict(control(deb), File=deb) for deb in debs]
    # Every package with programs or libraries, as dpkg-shlibdeps computes it.
    failures += [f"{fields['File'].name} has no versioned dependency on libc6: "
                 f"'{fields.get('Depends', '')}'" for fields in packages
                 if fields.get("Section") != "libdevel"
                 and "libc6 (>=" not in fields.get("Depends", "")]
    architectures = sorted({fields["Architecture"] for fields in packages})
    if len(architectures) < 2:
        print(f"SKIPPED: side-by-side installation (packages of {', '.join(architectures)} only)")
    else:
        with tempfile.TemporaryDirectory() as scratch:
            problems = coinstallation_problems(packages, scratch)
        failures += [f"not co-installable: {problem}" for problem in problems]
        if not problems:
            print("the packages of " + " and ".join(architectures) +
                  " install side by side: every shared path is the same file")
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    if failures:
        sys.exit(1)
    print(f"{len(debs)} packages: no lintian error")


if __name__ == "__main__":
    main()
