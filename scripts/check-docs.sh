#!/usr/bin/env bash
# Checks that the handbook lost nothing: every option `hvl-scan --help`
# prints is named in docs/ and in the manual page, and every relative link
# of the README and docs/ (a file, and a heading within it) resolves.
#   scripts/check-docs.sh [path/to/hvl-scan]   (default: build/default/cli/hvl-scan)
# --help only prints; nothing is scanned or sent.
set -euo pipefail
cd "$(dirname "$0")/.."
scan=${1:-build/default/cli/hvl-scan}
man=resources/man/hvl-scan.1
problems=0

help=$("$scan" --help)
mapfile -t options < <(sed -n 's/^  \(-[a-z], \)\?\(--[a-z0-9-]*\).*/\2/p' <<<"$help" | sort -u)
if [ ${#options[@]} -lt 10 ]; then
  echo "check-docs: read only ${#options[@]} options from $scan --help" >&2
  exit 1
fi
# The manual page writes each dash as \-.
man_text=$(sed 's/\\-/-/g' "$man")
# Whole options: --status-timeout does not name --status.
for option in "${options[@]}"; do
  whole="$option([^a-z0-9-]|\$)"
  if ! grep -rqE -- "$whole" docs/*.md; then
    echo "check-docs: $option is not in docs/" >&2
    problems=$((problems + 1))
  fi
  if ! grep -qE -- "$whole" <<<"$man_text"; then
    echo "check-docs: $option is not in $man" >&2
    problems=$((problems + 1))
  fi
done

# Links: [text](target) outside code blocks; a target with a scheme or a
# mail address is not ours. An anchor must be a heading's GitHub slug.
python3 - README.md docs/*.md <<'EOF' || problems=$((problems + 1))
import os, re, sys

def slugs(path):
    found, fence = set(), False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            fence = not fence
        m = re.match(r"#+ (.*)", line)
        if m and not fence:
            text = re.sub(r"[^\w\- ]", "", m.group(1).strip().lower())
            found.add(text.replace(" ", "-"))
    return found

bad = 0
for path in sys.argv[1:]:
    fence = False
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        if line.startswith("```"):
            fence = not fence
        if fence or line.startswith("    "):
            continue
        for target in re.findall(r"\]\(([^)\s]+)\)", line):
            if re.match(r"[a-z]+:", target):
                continue
            name, _, anchor = target.partition("#")
            file = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
            if not os.path.exists(file):
                print(f"check-docs: {path}:{number}: {target} does not exist", file=sys.stderr)
                bad += 1
            elif anchor and file.endswith(".md") and anchor not in slugs(file):
                print(f"check-docs: {path}:{number}: no heading #{anchor} in {file}", file=sys.stderr)
                bad += 1
sys.exit(1 if bad else 0)
EOF

if [ "$problems" -gt 0 ]; then
  echo "check-docs: $problems problems" >&2
  exit 1
fi
echo "check-docs: ${#options[@]} options in docs/ and $man; every link resolves"
