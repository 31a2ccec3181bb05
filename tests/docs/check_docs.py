#!/usr/bin/env python3
"""Checks the documents as a reader follows them: every relative link leads to a file that exists
(and, with an anchor, to a heading of that file, as the hosting site's file view makes anchors), and
every `scripts/...` path they name is in the checkout. Prints each fault; exit status 1 when any."""
import pathlib
import re
import sys

TOP = pathlib.Path(__file__).resolve().parents[2]
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
SCRIPT_PATH = re.compile(r"(?<![\w/.-])(scripts/[\w./-]+\w)")
FENCE = re.compile(r"^```.*?^```", re.S | re.M)


def documents():
    return [TOP / "README.md", *sorted((TOP / "docs").rglob("*.md")), TOP / "sim" / "README.md"]


def anchor_of(heading):
    """The anchor the file view gives a heading: lower case, punctuation dropped, blanks to hyphens."""
    text = re.sub(r"[`*_]", "", heading.strip()).lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    text = FENCE.sub("", path.read_text(encoding="utf-8"))
    seen, result = {}, set()
    for heading in re.findall(r"^#+\s+(.*)$", text, re.M):
        base = anchor_of(heading)
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else f"{base}-{count}")
    return result


def faults_of(doc):
    text = doc.read_text(encoding="utf-8")
    name = doc.relative_to(TOP)
    faults = []
    for target in LINK.findall(FENCE.sub("", text)):
        if re.match(r"^[a-z]+:", target):
            continue  # a link off the checkout is not ours to check
        file_part, _, anchor = target.partition("#")
        linked = (doc.parent / file_part).resolve() if file_part else doc
        if not linked.exists():
            faults.append(f"{name}: the link {target} leads to no file")
        elif anchor and linked.suffix == ".md" and anchor not in anchors(linked):
            faults.append(f"{name}: the link {target} names no heading of {linked.relative_to(TOP)}")
    for script in sorted(set(SCRIPT_PATH.findall(text))):
        if not (TOP / script).exists():
            faults.append(f"{name}: names {script}, which is not in the checkout")
    return faults


def main():
    docs = documents()
    faults = [f for doc in docs for f in faults_of(doc)]
    for fault in faults:
        print(fault)
    print(f"docs: {len(docs)} documents read, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
