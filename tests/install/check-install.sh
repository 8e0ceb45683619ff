#!/usr/bin/env bash
# Checks an installed tree (the prefix given, e.g. /usr inside an unpacked
# package or a `cmake --install --prefix` directory): every file the desktop
# looks for is where it looks, and each one is valid.
#   tests/install/check-install.sh <prefix>
# Exits 0 when all is well, 1 on the first list of problems, 77 when a
# needed tool is missing (reported as skipped by CTest).
set -euo pipefail
prefix=${1:?usage: check-install.sh <prefix>}
app_id=com.ostrel.PrinterLocator
problems=()
fail() { problems+=("$*"); }

for tool in desktop-file-validate appstreamcli man file; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed"
    exit 77
  fi
done

# The executables.
for exe in hvl hvl-scan; do
  [ -x "$prefix/bin/$exe" ] || fail "bin/$exe missing or not executable"
done

# The desktop entry: valid, starting a program that is installed, naming an
# icon the hicolor theme holds.
desktop=$prefix/share/applications/$app_id.desktop
if [ -f "$desktop" ]; then
  out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
  [ -z "$out" ] || fail "desktop-file-validate says: $out"
  exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
  [ -x "$prefix/bin/$exec_cmd" ] || fail "Exec=$exec_cmd is not in bin/"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  [ "$icon" = "$app_id" ] || fail "Icon=$icon is not the application id"
  grep -q '^Name=Halvet Printer Locator$' "$desktop" || fail "desktop entry lacks the program's name"
else
  fail "share/applications/$app_id.desktop missing"
fi

# The icon at every size, each PNG of exactly that size, and scalable.
for size in 16 32 48 64; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$app_id.png
  if [ -f "$png" ]; then
    file -b "$png" | grep -q "PNG image data, $size x $size" || fail "$png is not $size x $size: $(file -b "$png")"
  else
    fail "icon ${size}x${size} missing"
  fi
done
svg=$prefix/share/icons/hicolor/scalable/apps/$app_id.svg
[ -f "$svg" ] && grep -q '<svg' "$svg" || fail "scalable icon missing"

# The AppStream metadata: valid without the network, pointing at the entry.
metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
if [ -f "$metainfo" ]; then
  out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
  grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "metainfo does not launch $app_id.desktop"
  grep -q "<id>$app_id</id>" "$metainfo" || fail "metainfo id is not $app_id"
  grep -q '<screenshot' "$metainfo" || fail "metainfo has no screenshot"
else
  fail "share/metainfo/$app_id.metainfo.xml missing"
fi

# The manual pages render without a warning and name their program.
for page in hvl hvl-scan; do
  file_=$prefix/share/man/man1/$page.1.gz
  if [ -f "$file_" ]; then
    err=$(MANWIDTH=80 man --warnings -l "$file_" 2>&1 >/dev/null) || fail "man $page failed: $err"
    [ -z "$err" ] || fail "man $page warns: $err"
    MANWIDTH=80 man -l "$file_" 2>/dev/null | grep -q "^NAME" || fail "man $page renders no NAME section"
  else
    fail "share/man/man1/$page.1.gz missing"
  fi
done

# The bash completion, where bash-completion looks for it, completing hvl-scan.
completion=$prefix/share/bash-completion/completions/hvl-scan
bash -c "source '$completion' && complete -p hvl-scan" >/dev/null 2>&1 || fail "$completion missing or not for hvl-scan"

# The package documents.
[ -f "$prefix/share/doc/hvl/copyright" ] || fail "share/doc/hvl/copyright missing"

if [ ${#problems[@]} -gt 0 ]; then
  printf 'FAIL: %s\n' "${problems[@]}"
  exit 1
fi
echo "OK: installed layout under $prefix"
