#!/usr/bin/env python3
"""Checks that core/src is a layering: a file includes only headers of its own stage folder and of those
below it (ORDER, lowest first), names the folder in every include, and few files stay outside the folders."""
import pathlib
import re
import sys

# The stage folders of core/src, lowest first: each may include only itself and those before it.
ORDER = ["support", "value", "syntax", "eval", "datetime", "functions", "reads", "audit"]
# Files directly under core/src (shared headers) stand above every folder.
MAX_TOP_LEVEL = 12

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def problems(src: pathlib.Path) -> list[str]:
    rank = {name: i for i, name in enumerate(ORDER)}
    found = []
    files = sorted(p for p in src.rglob("*") if p.suffix in (".hpp", ".cpp"))
    top = [p for p in files if p.parent == src]
    if len(top) > MAX_TOP_LEVEL:
        found.append(f"{len(top)} files directly under {src} (at most {MAX_TOP_LEVEL})")

    def stage(path: pathlib.Path) -> int:
        parts = path.relative_to(src).parts
        return len(ORDER) if len(parts) == 1 else rank.get(parts[0], -1)

    for path in files:
        rel = path.relative_to(src)
        own = stage(path)
        if own < 0:
            found.append(f"{rel}: folder {rel.parts[0]}/ is not in the stage order")
            continue
        for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
            beside = path.parent / name
            if beside.exists() and path.parent != src and not (src / name).exists():
                found.append(f"{rel}: #include \"{name}\" does not name its folder")
                continue
            target = src / name
            if not target.exists():
                continue  # another library's header (regex/src) or a system one
            if stage(target) > own:
                found.append(f"{rel}: #include \"{name}\" reaches up from {ORDER[own] if own < len(ORDER) else '.'}/"
                             f" to {pathlib.Path(name).parts[0]}/")
    return found


def main() -> int:
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent
    found = problems(root / "core" / "src")
    for line in found:
        print(line)
    if found:
        print(f"layering: {len(found)} problem(s); folder order, lowest first: {' < '.join(ORDER)}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
