#!/usr/bin/env bash
# The layering rule on the sources, checked by CTest:
#   1. no file outside src/gui/ (and the program entry src/main.cpp, which
#      sits on top of every layer) includes a Qt Gui or Qt Widgets header;
#   2. every quoted include names a file of the including file's own layer or
#      of a layer below it: platform/ <- src/core/ <- src/gui/, src/cli/;
#      sdk/ on platform/ alone;
#   3. no folder and no unit (a .h with its .cpp) includes another in a circle.
# Usage: check-layers.sh SOURCE_ROOT QT_GUI_INCLUDE_DIR QT_WIDGETS_INCLUDE_DIR
set -uo pipefail
root=$1 guiHeaders=$2 widgetHeaders=$3
cd "$root" || exit 2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

sources() { find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort; }

# --- 1. Qt Gui and Qt Widgets headers -------------------------------------
[[ -d $guiHeaders && -d $widgetHeaders ]] || { echo "no Qt Gui/Widgets include folder: $guiHeaders $widgetHeaders"; exit 2; }
forbidden=$(mktemp); trap 'rm -f "$forbidden" "$edges" "$unitEdges"' EXIT
{ ls "$guiHeaders"; ls "$widgetHeaders"; } | grep -v '\.' | sort -u >"$forbidden"
[[ $(wc -l <"$forbidden") -gt 100 ]] || { echo "too few Qt Gui/Widgets headers found in $guiHeaders"; exit 2; }
while IFS= read -r file; do
  [[ $file == src/gui/* || $file == src/main.cpp ]] && continue
  while IFS= read -r header; do
    name=${header#QtGui/}; name=${name#QtWidgets/}
    if [[ $header == QtGui || $header == QtWidgets || $header == QtGui/* || $header == QtWidgets/* ]] ||
       grep -qxF -- "$name" "$forbidden"; then
      fail "$file includes <$header>, a Qt Gui or Qt Widgets header, outside src/gui/"
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*<\([^>]*\)>.*/\1/p' "$file")
done < <(sources src platform sdk)

# --- 2. quoted includes resolve within the layer or below -----------------
# The include folders each layer sees, in the compiler's order.
roots_for() {
  case $1 in
    src/core/*) echo "src/core . platform" ;;
    src/cli/*) echo "src/cli src/core . platform" ;;
    src/gui/*) echo "src/gui src/core . platform" ;;
    src/main.cpp) echo "src/gui src/cli src/core . platform" ;;
    platform/*) echo ". platform" ;;
    sdk/*) echo "sdk/common sdk/signtool . platform" ;;
  esac
}
allowed_prefixes() {
  case $1 in
    src/core/*) echo "src/core/ platform/" ;;
    src/cli/*) echo "src/cli/ src/core/ platform/" ;;
    src/gui/*) echo "src/gui/ src/core/ platform/" ;;
    src/main.cpp) echo "src/gui/ src/cli/ src/core/ platform/" ;;
    platform/*) echo "platform/" ;;
    sdk/*) echo "sdk/ platform/" ;;
  esac
}
edges=$(mktemp) unitEdges=$(mktemp)
while IFS= read -r file; do
  dir=$(dirname "$file")
  while IFS= read -r include; do
    target=""
    for candidate in "$dir" $(roots_for "$file"); do
      if [[ -f $candidate/$include ]]; then target=$(realpath --relative-to=. "$candidate/$include"); break; fi
    done
    if [[ -z $target ]]; then
      [[ $include == *.moc ]] || fail "$file includes \"$include\", which no include folder of its layer holds"
      continue
    fi
    ok=no
    for prefix in $(allowed_prefixes "$file"); do [[ $target == "$prefix"* ]] && ok=yes; done
    [[ $ok == yes ]] || fail "$file includes $target, a layer above its own"
    [[ $(dirname "$target") != "$dir" ]] && echo "$dir $(dirname "$target")" >>"$edges"
    from=${file%.*} to=${target%.*}
    [[ $from != "$to" ]] && echo "$from $to" >>"$unitEdges"
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(sources src platform sdk)

# --- 3. no circles ----------------------------------------------------------
for kind in folder unit; do
  list=$edges; [[ $kind == unit ]] && list=$unitEdges
  if ! loops=$(sort -u "$list" | tsort 2>&1 >/dev/null); then
    fail "the ${kind}s include each other in a circle:"
    echo "$loops" | sed 's/^tsort: /  /'
  fi
done

if ((failures)); then
  echo "$failures layering fault(s)"
  exit 1
fi
echo "layering: $(sort -u "$edges" | wc -l) folder dependencies, $(sort -u "$unitEdges" | wc -l) unit dependencies, no circle, no widget header below src/gui/"
